// What each LED shows, decided once per pass as one value: the same value
// drives the LED and words the status line, so the two cannot disagree.
#pragma once

#include "led/led.hpp"
#include "led/rgb_led.hpp"
#include "status/auth_status.hpp"
#include "status/update_monitor.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace glowkeeper {

enum class InternetDisplay : std::int8_t { Failing, Unreachable, Reachable };

// Why the RGB LED shows what it shows, by precedence.
enum class RgbReason : std::int8_t {
    RegistrationPossible,
    LongPressStarted,
    LongPressFailed,
    LongPressSucceeded,
    UpdateDownloading,
    UpdateInstalling,
    UpdateFailed,
    ServicesFailed,
    ServicesRunning,
};

struct RgbDisplay {
    RgbReason reason = RgbReason::ServicesRunning;
    // Bit set of failed services (checkServices) for ServicesFailed.
    std::int8_t failedServices = 0;
    // Local minute of the day of a held update failure, else -1.
    std::int16_t failedAtMinute = -1;

    bool operator==(const RgbDisplay&) const = default;
};

struct RgbPattern {
    enum Kind : std::uint8_t { Solid, Blink };
    Kind kind = Solid;
    RgbLed::LedColor color = RgbLed::Green;
    int fast = 0;
    // Blink only: cycles on the caller's thread, 0 for an endless pattern.
    unsigned int times = 0;

    bool operator==(const RgbPattern&) const = default;
};

InternetDisplay internetDisplay(int probeResult);
// The display while the authentication procedure holds the LED (codes 1 to
// 4), else none: the status display then decides.
std::optional<RgbDisplay> authDisplay(AuthState state);
// Update activity first, then failed services, else solid green.
RgbDisplay statusDisplay(int failedServices, UpdateStatus update);

RgbPattern patternOf(RgbDisplay display);
void show(Led* led, InternetDisplay display);
void show(RgbLed* led, RgbDisplay display);

std::string statusText(InternetDisplay display);
// The pattern in words, then its reason.
std::string statusText(RgbDisplay display);
// Empty while the follower reports.
std::string statusText(FollowerState follower);
// Both LEDs, and a journal follower that no longer reports, in one line.
std::string statusLine(InternetDisplay internet, RgbDisplay rgb, FollowerState follower);

}  // namespace glowkeeper
