# The numeric pager against a pseudo-terminal modem.
sentrel_add_test(NAME test_pager
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_pager.cpp
  LIBS GTest::gtest_main
  LABELS core
  TIMEOUT 180)
