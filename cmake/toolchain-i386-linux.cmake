# 32-bit x86 Linux (host32): the kernel, the world, the tests and vcp built
# to run the target build's norva.sys and tembris.sys (Debian's g++-multilib).
# Whether the machine executes i386 code itself or needs qemu-i386 is decided
# when configuring (cmake/Host32Emulator.cmake).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# Libraries and packages of the build machine are 64-bit: only header-only
# ones are used from there (see the root CMakeLists.txt).
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
