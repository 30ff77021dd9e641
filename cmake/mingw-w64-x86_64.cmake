# 64-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(POSTWAIN_MINGW_TARGET x86_64-w64-mingw32)
# The 64-bit loader itself: `wine` starts the 32-bit one once wine32 is installed, and a
# machine that cannot run 32-bit programs must still run the 64-bit tests.
set(POSTWAIN_WINE /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
