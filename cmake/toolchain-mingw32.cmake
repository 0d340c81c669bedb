# 32-bit Windows build with Debian's mingw-w64 (g++-mingw-w64-i686-posix):
# img3d.dll, its import library and every test program as PE executables,
# P = 4.  The -posix compilers give std::mutex and std::thread, which
# GoogleTest needs; -static folds libgcc, libstdc++ and winpthreads into each
# image, so the DLL imports nothing but KERNEL32 and msvcrt.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(IMG3D_MINGW i686-w64-mingw32)

set(CMAKE_C_COMPILER ${IMG3D_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${IMG3D_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${IMG3D_MINGW}-windres)
set(CMAKE_OBJDUMP ${IMG3D_MINGW}-objdump CACHE FILEPATH "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/${IMG3D_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under wine when it can run 32-bit Windows programs here (it needs
# a kernel that executes 32-bit x86 code).  scripts/test.sh probes that and
# passes -DIMG3D_WINE=OFF where it cannot; the programs are built either way.
set(IMG3D_WINE ON CACHE BOOL "Run the test programs under wine")
if(IMG3D_WINE)
  find_program(IMG3D_WINE_PROGRAM wine)
  if(IMG3D_WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${IMG3D_WINE_PROGRAM})
  endif()
endif()
