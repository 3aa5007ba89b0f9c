# Cross build for Windows with Debian's mingw-w64 (posix thread model, which
# <thread>, <mutex> and GoogleTest need), for the processor the including
# toolchain file names in CMAKE_SYSTEM_PROCESSOR (i686 or x86_64).  The tests
# run under Wine: the top-level CMakeLists.txt sets the emulator with the
# build's own Wine prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(vtrl_mingw_triplet ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${vtrl_mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${vtrl_mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${vtrl_mingw_triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${vtrl_mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Everything statically linked: the program imports nothing but system DLLs
# (no libstdc++, libgcc or libwinpthread DLL beside the exe).
# No link time in the PE header (--no-insert-timestamp): two links of the same
# objects give the same bytes.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")
