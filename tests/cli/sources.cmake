# Test sources of this folder, one per line.
list(APPEND VARNEK_TEST_SOURCES
  cli/cli_test.cpp
  cli/faults_test.cpp
  cli/options_test.cpp
  cli/run_test.cpp
  cli/recordings_test.cpp
)
