# Cross build for Windows on ARM64 with Zig 0.11 (clang 16 with its own mingw-w64 runtime, LLVM's
# libc++ and libunwind): Debian has no aarch64 mingw-w64. tools/install-deps puts the pinned Zig
# into build/deps; tools/zig-c++ runs it as one C++ compiler for this target. Zig has no resource
# compiler: Debian's llvm-windres builds the manifest and version resource, with mingw-w64's
# headers from Debian.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

get_filename_component(_tree ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(CMAKE_CXX_COMPILER ${_tree}/tools/zig-c++)
set(CMAKE_RC_COMPILER llvm-windres-14)
set(CMAKE_RC_FLAGS_INIT "--target=aarch64-w64-mingw32 -I/usr/share/mingw-w64/include")
unset(_tree)

# Zig builds its runtime libraries (libc++, libunwind, compiler-rt, mingw-w64's) on first use, once
# per set of options that matter to them: whether the link optimises (with LTO) and whether it
# makes position-independent code, which a DLL does. One set for every link makes one build of them
# serve every program here; PIC changes nothing in ARM64 Windows code, which is relocated through
# the base relocations either way. CMake's own compiler checks only compile (into a static
# library, with LLVM's archiver): a link there would build them all once more, for nothing.
set(CMAKE_CXX_FLAGS_INIT "-fPIC")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_AR llvm-ar-14)
set(CMAKE_RANLIB llvm-ranlib-14)

# Zig links statically (libc++, libunwind, compiler-rt and the runtime's start-up code) for this
# target by itself: the .exe imports system DLLs only. -s leaves out the .pdb and the debug
# directory that would name it with the build's path. The link timestamp and the PE checksum are
# set afterwards (ARM64_FINISH_IMAGE, tools/pe-finish): Zig's linker offers no switch for either.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-s")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-s")
set(ARM64_FINISH_IMAGE ON)
