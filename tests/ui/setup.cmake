# The setup sheet, its pages, the node dialog and the dialog seam.
foreach(_setup_test sheet servers reports alerts)
  if(NOT EXISTS ${CMAKE_CURRENT_LIST_DIR}/test_setup_${_setup_test}.cpp)
    continue()
  endif()
  sentrel_add_test(NAME test_setup_${_setup_test}
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_setup_${_setup_test}.cpp
            ${CMAKE_CURRENT_LIST_DIR}/setup_test_util.h
            ${CMAKE_CURRENT_LIST_DIR}/setup_fixtures.h
    LIBS sentrel_ui Qt6::Test
    LABELS gui
    TIMEOUT 120)
endforeach()

# The audio test listens through a private PulseAudio server it starts itself.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/test_setup_audio.cpp)
  sentrel_add_test(NAME test_setup_audio
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_setup_audio.cpp ${CMAKE_CURRENT_LIST_DIR}/setup_test_util.h
    LIBS sentrel_ui Qt6::Test
    LABELS gui
    TIMEOUT 120)
endif()
