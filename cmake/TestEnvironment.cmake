# The environment of every test that runs the build's programs, shared by tests/ and
# fuzz/ (sibling folders, so it is set here where both see it): where the build is and,
# in a sanitizer build, the sanitizer runtimes that node itself must preload.
set(CORVELLE_TEST_ENV "CORVELLE_BUILD_DIR=${CORVELLE_OUTPUT_DIR}")
if(CORVELLE_SANITIZE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libubsan.so
                  OUTPUT_VARIABLE UBSAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(CORVELLE_SANITIZER_LOG_DIR ${CMAKE_BINARY_DIR}/sanitizer-logs)
  file(MAKE_DIRECTORY ${CORVELLE_SANITIZER_LOG_DIR})
  # Node's own allocations are not ours to judge, so leak checks stay off under node.
  set(CORVELLE_NODE_SANITIZER_ENV
    "LD_PRELOAD=${ASAN_RUNTIME}:${UBSAN_RUNTIME}"
    "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path=${CORVELLE_SANITIZER_LOG_DIR}/asan"
    "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=${CORVELLE_SANITIZER_LOG_DIR}/ubsan")
  set(CORVELLE_NATIVE_SANITIZER_ENV
    "ASAN_OPTIONS=abort_on_error=1:log_path=${CORVELLE_SANITIZER_LOG_DIR}/asan"
    "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=${CORVELLE_SANITIZER_LOG_DIR}/ubsan")
  list(APPEND CORVELLE_TEST_ENV "CORVELLE_SANITIZE=1")
endif()
