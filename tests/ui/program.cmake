# The program: main window, about box, help, placement, the orderly close, and
# the executable itself.
sentrel_add_test(NAME test_main_window
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_main_window.cpp ${CMAKE_CURRENT_LIST_DIR}/program_test_util.h
  LIBS sentrel_ui Qt6::Test
  LABELS gui TIMEOUT 180)
sentrel_add_test(NAME test_main_window_placement
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_main_window_placement.cpp ${CMAKE_CURRENT_LIST_DIR}/program_test_util.h
  LIBS sentrel_ui Qt6::Test
  LABELS gui TIMEOUT 120)
# The same placement tests on a real X server without a window manager, where
# positions (negative ones too) are applied exactly. Needs xvfb-run.
find_program(SENTREL_XVFB_RUN xvfb-run)
if(SENTREL_XVFB_RUN)
  add_test(NAME test_main_window_placement_x11
    COMMAND ${SENTREL_XVFB_RUN} -a -s "-screen 0 1280x1024x24"
            $<TARGET_FILE:test_main_window_placement> -platform xcb)
  set_tests_properties(test_main_window_placement_x11 PROPERTIES TIMEOUT 120 LABELS gui)
endif()
if(TARGET sentrel)
  sentrel_add_test(NAME test_main_window_process
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_main_window_process.cpp ${CMAKE_CURRENT_LIST_DIR}/program_test_util.h
    LIBS sentrel_ui Qt6::Test
    LABELS gui TIMEOUT 120)
  target_compile_definitions(test_main_window_process PRIVATE SENTREL_EXE="$<TARGET_FILE:sentrel>")
  add_dependencies(test_main_window_process sentrel)
endif()
sentrel_add_test(NAME test_main_window_startup
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_main_window_startup.cpp ${CMAKE_CURRENT_LIST_DIR}/program_test_util.h
  LIBS sentrel_ui Qt6::Test
  LABELS gui TIMEOUT 60)
