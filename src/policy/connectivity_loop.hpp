// Shows internet reachability on the single LED, one probe every 5 s.
#pragma once

#include "led/led.hpp"
#include "policy/display_state.hpp"

#include <spdlog/logger.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace glowkeeper {

// Lit when reachable, dark when not, three fast flashes when the probe has
// no socket. Returns at the top of the first pass that finds running false.
// Bumps `passes` once per pass, before the pause; stores each probe result
// in `shown` before showing it.
void connectivityLoop(Led* led, std::atomic<bool>& running, std::shared_ptr<spdlog::logger> logger,
                      std::atomic<std::uint64_t>& passes, DisplayState& shown);

}  // namespace glowkeeper
