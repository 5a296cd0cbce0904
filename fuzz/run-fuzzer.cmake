# Runs one libFuzzer target for SECONDS from a copy of its seed corpus in WORK:
# what the run adds lands in the copy, never in the repository. A crash, a
# sanitizer report, a leak or a timeout fails the test and leaves the input in
# WORK/artifacts.
foreach(var FUZZER SEEDS WORK SECONDS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run-fuzzer.cmake needs -D${var}=...")
  endif()
endforeach()
if(NOT IS_DIRECTORY ${SEEDS})
  message(FATAL_ERROR "no seed corpus at ${SEEDS}")
endif()

file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(COPY ${SEEDS}/ DESTINATION ${WORK}/corpus)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=20 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (exit ${result}); the input is in ${WORK}/artifacts")
endif()
