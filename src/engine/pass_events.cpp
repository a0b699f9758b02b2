#include "engine/pass_events.h"

#include <chrono>

namespace sentrel {

std::int64_t NowUtcMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace sentrel
