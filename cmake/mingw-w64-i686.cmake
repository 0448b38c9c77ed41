# Windows on 32-bit x86 (g++-mingw-w64-i686), run by wine, which starts 32-bit wine for it.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_triple i686-w64-mingw32)
set(wine_loader wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
