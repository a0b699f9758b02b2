sentrel_add_test(NAME test_node_table
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_node_table.cpp
  LIBS GTest::gtest_main
  LABELS core TIMEOUT 60)
sentrel_add_test(NAME test_scan_pass
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_scan_pass.cpp
  LIBS GTest::gtest_main
  LABELS core TIMEOUT 120)
