# The program: main window, about box, help, placement, the orderly close, and
# the executable itself.
sentrel_add_test(NAME test_main_window
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_main_window.cpp ${CMAKE_CURRENT_LIST_DIR}/program_test_util.h
  LIBS sentrel_ui Qt6::Test
  LABELS gui TIMEOUT 180)
