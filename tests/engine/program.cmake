# The scan scheduler (QtCore only), against real passes on loopback peers.
sentrel_add_test(NAME test_scan_scheduler
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_scan_scheduler.cpp
  LIBS Qt6::Test
  LABELS core TIMEOUT 120)
