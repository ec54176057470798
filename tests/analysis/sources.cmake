# Test sources of this folder, one per line.
list(APPEND VARNEK_TEST_SOURCES
  analysis/scan_console_test.cpp
  analysis/report_console_test.cpp
  analysis/stress_test.cpp
  analysis/part_files_test.cpp
  analysis/json_test.cpp
  analysis/check_test.cpp
)
