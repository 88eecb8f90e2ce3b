// Drives the RGB LED: the authentication procedure when it is active, else
// update activity, failed services or solid green, by precedence.
#pragma once

#include "led/rgb_led.hpp"
#include "policy/display_state.hpp"
#include "status/update_monitor.hpp"

#include <spdlog/logger.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace glowkeeper {

// Bumps `passes` once per pass, before the pause; stores each pass's
// display in `shown` before showing it.
void rgbStatusLoop(RgbLed* led, std::atomic<bool>& running, const UpdateReport& update,
                   std::shared_ptr<spdlog::logger> logger, std::atomic<std::uint64_t>& passes, DisplayState& shown);

}  // namespace glowkeeper
