# Cross-build for Windows with Debian's MinGW-w64. FACTORIAL_WINDOWS_TARGET names the target, x86
# (32-bit, g++-mingw-w64-i686) or x64 (64-bit, g++-mingw-w64-x86-64); the tests run the build under
# the wine that starts it, when that is installed. Debian's wine command starts the 32-bit loader
# whenever wine32 is installed, even for a 64-bit program, so x64 is run by wine64's own loader.
if(FACTORIAL_WINDOWS_TARGET STREQUAL "x86")
    set(CMAKE_SYSTEM_PROCESSOR x86)
    set(mingw_triple i686-w64-mingw32)
    set(wine_loader wine)
elseif(FACTORIAL_WINDOWS_TARGET STREQUAL "x64")
    set(CMAKE_SYSTEM_PROCESSOR x86_64)
    set(mingw_triple x86_64-w64-mingw32)
    set(wine_loader wine64)
else()
    message(FATAL_ERROR "FACTORIAL_WINDOWS_TARGET is '${FACTORIAL_WINDOWS_TARGET}': x86 or x64")
endif()
# The compiler checks read this file again in a project of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FACTORIAL_WINDOWS_TARGET)

set(CMAKE_SYSTEM_NAME Windows)
# The compiler with win32 threads, named itself: the plain name is an alternatives link, which may
# lead to the posix-thread one, whose runtime gives other bytes.
set(CMAKE_CXX_COMPILER ${mingw_triple}-g++-win32)
set(CMAKE_RC_COMPILER ${mingw_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
find_program(WINE_PROGRAM ${wine_loader} PATHS /usr/lib/wine)
if(WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
