# Cross-build for Windows with Debian's MinGW-w64, shared by the two toolchain files beside it: each
# names its compiler's target triple (mingw_triple) and the wine loader that runs its build
# (wine_loader). The tests run the result under that wine when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_CXX_COMPILER ${mingw_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
find_program(WINE_PROGRAM ${wine_loader} PATHS /usr/lib/wine)
if(WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
