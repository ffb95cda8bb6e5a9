set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
# The shipped program starts no thread, so it is built with the win32 thread model, which leaves
# winpthread out of the image. GoogleTest needs std::mutex: a test build of this preset passes
# -DOV_THREADS=posix.
set(OV_THREADS win32 CACHE STRING "Thread model of the compilers: win32 (the shipped program) or posix (tests)")
set(CMAKE_C_COMPILER   i686-w64-mingw32-gcc-${OV_THREADS})
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-${OV_THREADS})
set(CMAKE_RC_COMPILER  i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Wine through a shim that picks the loader this machine can run.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/ovwine)
