// Shows internet reachability on the single LED, one probe every 5 s.
#pragma once

#include "led/led.hpp"

#include <spdlog/logger.h>

#include <atomic>
#include <memory>

namespace glowkeeper {

// Lit when reachable, dark when not, three fast flashes when the probe has
// no socket. Returns at the top of the first pass that finds running false.
void connectivityLoop(Led* led, std::atomic<bool>& running, std::shared_ptr<spdlog::logger> logger);

}  // namespace glowkeeper
