# Test sources of this folder, one per line.
list(APPEND VARNEK_TEST_SOURCES
  repair/repair_test.cpp
  repair/undo_file_test.cpp
  repair/salvage_test.cpp
  repair/undo_test.cpp
  repair/packet_copy_test.cpp
)
