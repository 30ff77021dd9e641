# Cross-building for Windows with Debian's mingw-w64 compilers (the posix thread model,
# which std::thread needs). Used through mingw-w64-i686.cmake or mingw-w64-x86_64.cmake,
# which name the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${POSTWAIN_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${POSTWAIN_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${POSTWAIN_MINGW_TARGET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${POSTWAIN_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests registered with add_test run under Wine's loader for the target (see POSTWAIN_WINE).
set(CMAKE_CROSSCOMPILING_EMULATOR ${POSTWAIN_WINE})
