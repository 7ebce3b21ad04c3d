# Runs a fuzz target on a fresh copy of its seed corpus: for SECONDS when above 0, or, with
# SECONDS=0, once over every seed (a replay). Crash inputs stay in WORK/artifacts after the test
# fails; the working corpus is thrown away on the next run.
foreach(var FUZZER SEEDS DICT WORK SECONDS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_smoke.cmake: -D${var}= is missing")
  endif()
endforeach()
file(GLOB seeds ${SEEDS}/*)
list(FILTER seeds EXCLUDE REGEX "/\\.stamp$")
if(NOT seeds)
  message(FATAL_ERROR "no seed corpus in ${SEEDS} (the archive seeds come from the "
                      "archive_fuzz_corpus target)")
endif()

file(REMOVE_RECURSE ${WORK}/corpus)
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(COPY ${seeds} DESTINATION ${WORK}/corpus)

if(SECONDS GREATER 0)
  set(budget -max_total_time=${SECONDS})
else()
  set(budget -runs=0)
endif()
execute_process(
  COMMAND ${FUZZER} ${budget} -rss_limit_mb=2048 -timeout=10
          -dict=${DICT} -artifact_prefix=${WORK}/artifacts/ -print_final_stats=1
          ${WORK}/corpus
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input is in ${WORK}/artifacts/")
endif()
