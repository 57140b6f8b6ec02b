# The hardened image, as an interface target that the command links PRIVATE: ASLR with high
# entropy (relocations kept), DEP, and stack protection whose canary comes from src/stack-guard.cpp
# rather than libssp, which would load crypto DLLs at every start (the reasons are in that file).
# The flags are the linker's defaults today; they are spelled out so that a toolchain whose
# defaults differ cannot silently drop them. The image checks test each property on the .exe.
add_library(project_hardening INTERFACE)
if(NOT MSVC)
  target_compile_options(project_hardening INTERFACE -fstack-protector-strong)
  target_sources(project_hardening INTERFACE ${PROJECT_SOURCE_DIR}/src/stack-guard.cpp)
  target_link_options(project_hardening INTERFACE
    -Wl,--dynamicbase,--high-entropy-va,--nxcompat)
endif()
