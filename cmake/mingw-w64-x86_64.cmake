# 64-bit Windows (preset windows-x64): the same sources, whose tests run under
# wine64 where the machine runs no 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
