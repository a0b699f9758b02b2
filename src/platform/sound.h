// The sound facility: play the alarm, play the test, stop. Calls return at once
// from any thread; the sound itself is made on the application's thread. Each
// program chooses at start how sound is made (SetSoundPlayer): through Qt
// Multimedia in the window program, through the sound server in the headless
// one. Without a player every call is silent.
#pragma once

#include <memory>
#include <string>

namespace sentrel {

class SoundPlayer {
  public:
    virtual ~SoundPlayer() = default;
    // On the application's thread. Ends any sound playing, then plays `file` (an
    // existing, readable file; empty for the bundled chime), again and again with
    // `loop`. A file that cannot be decoded gives the chime with `fallBack`, else
    // silence.
    virtual void Play(const std::string& file, bool loop, bool fallBack) = 0;
    // On the application's thread. Stops any sound; nothing when none plays.
    virtual void Stop() = 0;
};

// The player used from now on; null: silence. Sounds already playing are stopped.
void SetSoundPlayer(std::shared_ptr<SoundPlayer> player);

// Plays the wave file, looping when asked; when the file cannot be played, the
// bundled default sound plays instead. Ends any sound playing. False when there
// is no player (no sound can be made); true also while the operator silences it.
bool PlayAlarmSound(const std::string& path, bool loop);
// Plays the wave file once; nothing when it cannot be played. Ends any sound playing.
void PlayTestSound(const std::string& path);
// Stops any sound, looping or not; nothing happens when none plays.
void StopSound();

// The operator's silence: stops the alarm sound, and every PlayAlarmSound made
// before EndAlarmSilence stays silent (the test sound is not affected). The alarm
// rules run as before; only the sound is held back.
void SilenceAlarmSound();
// A new outage: PlayAlarmSound is heard again.
void EndAlarmSilence();
bool AlarmSoundSilenced();
// True while a looping alarm sound plays (as far as the application's thread
// has played it).
bool AlarmSoundLooping();

// The bundled chime, as a resource path (":/...") and as a URL ("qrc:/...").
const char* DefaultSoundResource();
const char* DefaultSoundUrl();

}  // namespace sentrel
