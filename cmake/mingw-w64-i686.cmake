# 32-bit Windows: pwt.dll as the design has it.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(POSTWAIN_MINGW_TARGET i686-w64-mingw32)
set(POSTWAIN_WINE wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
