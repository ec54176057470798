# Test sources of this folder, one per line.
list(APPEND VARNEK_TEST_SOURCES
  util/output_test.cpp
  util/text_test.cpp
)
