# Runs archive_fuzz for SECONDS on a fresh copy of the seed corpus. Crash inputs stay in
# WORK/artifacts after the test fails; the working corpus is thrown away on the next run.
foreach(var FUZZER SEEDS DICT WORK SECONDS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_smoke.cmake: -D${var}= is missing")
  endif()
endforeach()
if(NOT EXISTS ${SEEDS}/.stamp)
  message(FATAL_ERROR "no seed corpus in ${SEEDS}: build the archive_fuzz_corpus target first")
endif()

file(REMOVE_RECURSE ${WORK}/corpus)
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(GLOB seeds ${SEEDS}/*)
list(FILTER seeds EXCLUDE REGEX "/\\.stamp$")
file(COPY ${seeds} DESTINATION ${WORK}/corpus)

execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -rss_limit_mb=2048 -timeout=10
          -dict=${DICT} -artifact_prefix=${WORK}/artifacts/ -print_final_stats=1
          ${WORK}/corpus
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "archive_fuzz failed (${result}); the input is in ${WORK}/artifacts/")
endif()
