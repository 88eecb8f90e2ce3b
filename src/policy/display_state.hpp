// What the two display loops show, for the line the service manager shows
// in `systemctl status`. Each loop stores its decision before showing it;
// the main thread reads. One atomic word per LED, so a reader never sees
// half a change.
#pragma once

#include "policy/display.hpp"

#include <atomic>

namespace glowkeeper {

struct DisplayState {
    std::atomic<InternetDisplay> internet{InternetDisplay::Unreachable};
    std::atomic<RgbDisplay> rgb{RgbDisplay{}};
};

static_assert(std::atomic<RgbDisplay>::is_always_lock_free);

}  // namespace glowkeeper
