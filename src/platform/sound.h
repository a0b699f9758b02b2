// The sound facility: play the alarm, play the test, stop. Calls return at once
// from either thread; the sound itself lives on the GUI thread.
#pragma once

#include <string>

namespace sentrel {

// Plays the wave file, looping when asked; when the file cannot be played, the
// bundled default sound plays instead. Ends any sound playing.
void PlayAlarmSound(const std::string& path, bool loop);
// Plays the wave file once; nothing when it cannot be played. Ends any sound playing.
void PlayTestSound(const std::string& path);
// Stops any sound, looping or not; nothing happens when none plays.
void StopSound();

}  // namespace sentrel
