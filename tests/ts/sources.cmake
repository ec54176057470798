# Test sources of this folder, one per line.
list(APPEND VARNEK_TEST_SOURCES
  ts/packet_test.cpp
  ts/qbx_test.cpp
)
