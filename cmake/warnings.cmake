# Warnings for every target of ours, as an interface target linked PRIVATE. WARNINGS_AS_ERRORS
# (on in CI) turns them into errors.
option(WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)

add_library(project_warnings INTERFACE)
if(MSVC)
  target_compile_options(project_warnings INTERFACE /W4 $<$<BOOL:${WARNINGS_AS_ERRORS}>:/WX>)
else()
  target_compile_options(project_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wcast-qual
    -Wformat=2 -Wno-format-nonliteral -Wundef
    $<$<BOOL:${WARNINGS_AS_ERRORS}>:-Werror>)
endif()
