sentrel_add_test(NAME test_platform SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_platform.cpp LIBS GTest::gtest_main LABELS core TIMEOUT 60
                 SERIAL XSocket.*Deadline*)
