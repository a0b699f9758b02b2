// Sound through the sound server (PulseAudio or PipeWire's pulse service, by
// paplay): the headless monitor's player, which needs neither Qt Multimedia nor
// the GUI libraries.
#pragma once

#include <memory>

#include "platform/sound.h"

namespace sentrel {

std::shared_ptr<SoundPlayer> MakeServerSoundPlayer();

// True when a sound server answers (`pactl info` succeeds within 3 s).
bool SoundServerAnswers();

}  // namespace sentrel
