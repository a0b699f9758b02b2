// Sound through Qt Multimedia (QSoundEffect): the window program's player.
#pragma once

#include <memory>

#include "platform/sound.h"

namespace sentrel {

std::shared_ptr<SoundPlayer> MakeQtSoundPlayer();

}  // namespace sentrel
