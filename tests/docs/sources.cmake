# Test sources of this folder, one per line.
list(APPEND VARNEK_TEST_SOURCES
  docs/readme_examples_test.cpp
)
# The README's examples and the manual page are read from the source tree.
set_property(SOURCE ${CMAKE_CURRENT_LIST_DIR}/readme_examples_test.cpp APPEND PROPERTY
  COMPILE_DEFINITIONS
  VARNEK_README="${PROJECT_SOURCE_DIR}/README.md"
  VARNEK_MANPAGE="${PROJECT_SOURCE_DIR}/doc/varnek.1"
)
