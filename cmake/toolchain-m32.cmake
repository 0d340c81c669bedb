# 32-bit x86 build on an x86-64 host (needs g++-multilib): P = 4.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE NEVER)

# Some kernels run no 32-bit binaries (no IA32 emulation): tests then run
# under qemu's user-mode emulator.
find_program(IMG3D_QEMU_I386 qemu-i386)
if(IMG3D_QEMU_I386)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${IMG3D_QEMU_I386})
endif()
