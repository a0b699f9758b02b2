sentrel_add_test(NAME test_xsocket SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_xsocket.cpp
  LIBS GTest::gtest_main
  LABELS core TIMEOUT 60)
sentrel_add_test(NAME test_net_names SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_net_names.cpp
  LIBS GTest::gtest_main
  LABELS core TIMEOUT 60)
