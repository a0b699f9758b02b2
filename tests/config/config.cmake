sentrel_add_test(NAME test_profile_file SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_profile_file.cpp
  LIBS GTest::gtest_main
  LABELS core TIMEOUT 120)
sentrel_add_test(NAME test_settings SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_settings.cpp
  LIBS GTest::gtest_main
  LABELS core TIMEOUT 120)
sentrel_add_test(NAME test_placement SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_placement.cpp
  LIBS GTest::gtest_main
  LABELS core TIMEOUT 60)
