sentrel_add_test(NAME test_report_files
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_report_files.cpp
  LIBS GTest::gtest_main
  LABELS core TIMEOUT 60)
