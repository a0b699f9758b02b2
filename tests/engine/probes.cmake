sentrel_add_test(NAME test_httpd_probe SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_httpd_probe.cpp
  LIBS GTest::gtest_main
  LABELS core TIMEOUT 120)
sentrel_add_test(NAME test_ping_probe SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_ping_probe.cpp
  LIBS GTest::gtest_main
  LABELS core TIMEOUT 120)
