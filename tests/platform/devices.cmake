# The sound facility against a private PulseAudio server started by the test.
sentrel_add_test(NAME test_sound
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sound.cpp
  LABELS core
  TIMEOUT 180)
