// Alarm sounds without Qt Multimedia: the monitor defines the sound facility of
// platform/sound.h itself and hands each wave to the sound server through
// paplay. Because these definitions come first at link time, the Qt Multimedia
// one in the core archive (and the GUI libraries it needs) stays out of
// sentrel-monitor, which keeps it small.
#pragma once

namespace sentrel::monitor {

// True when a sound server answers (`pactl info` succeeds).
bool SoundServerAnswers();
// From now on every sound is skipped.
void SkipSounds();

}  // namespace sentrel::monitor
