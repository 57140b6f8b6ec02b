# The usage path as a person at a console meets it: no argument, then Enter. The key press comes
# from a file this test supplies, never from the terminal ctest runs in, which would stall the
# test until its timeout whenever `make test` is run interactively.
#   cmake "-DEMULATOR=/usr/bin/python3;tools/winerun.py" -DEXE=<the .exe> -DINPUT=<file holding a line end> -P usage-with-enter.cmake
execute_process(COMMAND ${EMULATOR} ${EXE} INPUT_FILE ${INPUT}
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status TIMEOUT 60)
string(REPLACE ";" " " emulator "${EMULATOR}")
if(NOT output STREQUAL "Parameter missing." OR NOT status STREQUAL "0")
  message(FATAL_ERROR "FAIL usage\n  expected: 'Parameter missing.', exit 0\n"
    "  actual:   '${output}', exit ${status}\n  stderr:   ${errors}\n"
    "  re-run:   ${emulator} ${EXE} < ${INPUT}")
endif()
message("PASS usage")
