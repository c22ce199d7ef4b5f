# Runs one fuzzer for a few seconds from a fresh copy of its seed corpus, so a
# run never writes into the source tree and never depends on an earlier run.
# Passes when libFuzzer exits 0; a crashing input is left in WORK_DIR.
# DICTIONARY is optional.
foreach(variable FUZZER SEEDS WORK_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "run_fuzzer.cmake needs -D${variable}=...")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/corpus")
file(COPY "${SEEDS}/" DESTINATION "${WORK_DIR}/corpus")
set(dictionary_option)
if(DEFINED DICTIONARY)
  set(dictionary_option "-dict=${DICTIONARY}")
endif()

execute_process(
  COMMAND "${FUZZER}" -max_total_time=5 -timeout=5 -rss_limit_mb=1024
          ${dictionary_option} "-artifact_prefix=${WORK_DIR}/"
          "${WORK_DIR}/corpus"
  WORKING_DIRECTORY "${WORK_DIR}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} exited with ${result}; the input is in ${WORK_DIR}")
endif()
