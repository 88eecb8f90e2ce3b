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

// Bumps `passes` once per pass, before the pause; stores what decides each
// display in `shown` before showing it.
void rgbStatusLoop(RgbLed* led, std::atomic<bool>& running, std::atomic<UpdateStatus>& updateStatus,
                   std::shared_ptr<spdlog::logger> logger, std::atomic<std::uint64_t>& passes, DisplayState& shown);

// White flashes while downloading or installing, solid red after a failure;
// any other status leaves the LED as it is.
void showUpdateStatus(UpdateStatus status, RgbLed* led);
// Red flashes for the lowest failed service: two, three or four.
void showServiceFailure(int failedServices, RgbLed* led);
// Update activity first, then failed services, else solid green.
void showStatus(int failedServices, UpdateStatus status, RgbLed* led);

}  // namespace glowkeeper
