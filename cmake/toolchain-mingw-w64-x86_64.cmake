# Cross build for 64-bit Windows with Debian's mingw-w64, win32 thread model: the command is
# single-threaded, and the posix model would link the winpthreads library into it for nothing.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# A clean Windows has no libstdc++ or libgcc DLLs: link both in, so that
# the .exe imports system DLLs only and runs copied alone into any folder.
# The header declares Windows 6.0 as the minimum; no link timestamp and no symbols keep two builds
# of the same sources byte-identical.
set(_image_flags "-static -s -Wl,--no-insert-timestamp -Wl,--major-os-version,6,--minor-os-version,0 -Wl,--major-subsystem-version,6,--minor-subsystem-version,0")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_image_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_image_flags}")
unset(_image_flags)
