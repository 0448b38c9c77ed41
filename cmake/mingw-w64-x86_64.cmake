# Windows on 64-bit x86 (g++-mingw-w64-x86-64), run by 64-bit wine's own loader: Debian's wine
# command starts the 32-bit loader whenever wine32 is installed, even for a 64-bit program.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_triple x86_64-w64-mingw32)
set(wine_loader wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
