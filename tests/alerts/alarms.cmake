# Alarm dispatch, the SMTP mailer and the command launch.
sentrel_add_test(NAME test_smtp_mailer SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_smtp_mailer.cpp
  LIBS GTest::gtest_main LABELS core TIMEOUT 120)
sentrel_add_test(NAME test_smtp_bound SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_smtp_bound.cpp
  LIBS GTest::gtest_main LABELS core slow TIMEOUT 120)
sentrel_add_test(NAME test_smtp_interop SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_smtp_interop.cpp
  LIBS GTest::gtest_main LABELS core TIMEOUT 90)
sentrel_add_test(NAME test_alarm_dispatch SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_alarm_dispatch.cpp
  LIBS GTest::gtest_main LABELS core TIMEOUT 120)
sentrel_add_test(NAME test_launch_command SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_launch_command.cpp
  LIBS GTest::gtest_main LABELS core TIMEOUT 60)
