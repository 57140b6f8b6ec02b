# clang-tidy and cppcheck over src/ as tests, for the 64-bit Windows target, both required clean.
# clang-tidy's checks are chosen in .clang-tidy; cppcheck's here, with the reasons.
find_program(CLANG_TIDY clang-tidy REQUIRED)
find_program(CPPCHECK cppcheck REQUIRED)

file(GLOB analysed_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*.cpp)
set(analysis_defines -D_WIN32_WINNT=0x0600 -DWINVER=0x0600 -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX)

# clang parses with the cross compiler's C++ library and Windows headers, but with its own
# intrinsics headers: GCC's use builtins that clang does not know.
set(tidy_includes)
foreach(dir IN LISTS CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
  if(NOT dir MATCHES "/lib/gcc/.*/include(-fixed)?$")
    list(APPEND tidy_includes -isystem ${dir})
  endif()
endforeach()
add_test(NAME analysis.clang-tidy
  COMMAND ${CLANG_TIDY} --quiet --config-file=${PROJECT_SOURCE_DIR}/.clang-tidy ${analysed_sources}
    -- --target=x86_64-w64-mingw32 -std=c++17 -nostdinc++ ${tidy_includes} ${analysis_defines})
set_tests_properties(analysis.clang-tidy PROPERTIES FAIL_REGULAR_EXPRESSION "warning:|error:")

# warning, style, performance, portability: every class of finding but "information" (which
# only reports on cppcheck's own configuration). The windows library tells cppcheck the
# platform's functions and types; system headers are left to the compiler, as cppcheck advises,
# so their absence (missingIncludeSystem) is no finding.
add_test(NAME analysis.cppcheck
  COMMAND ${CPPCHECK} --enable=warning,style,performance,portability --std=c++17 --platform=win64
    --library=windows -D_WIN32 -D_WIN64 ${analysis_defines} --suppress=missingIncludeSystem
    --inline-suppr --error-exitcode=1 --quiet ${analysed_sources})
