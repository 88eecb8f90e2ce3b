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
// How long a failed update stays on the LED when no new deployment begins:
// the client's default poll interval, about as long as the latest status
// would show it if the client waited for its next poll.
constexpr std::int32_t failureHoldSeconds = 30 * 60;
// Whether the LED still holds the failure at `nowSecond` (monotonic seconds).
bool failureHold(UpdateFailure failure, std::int32_t nowSecond);
// A failure still held first, then update activity, then failed services,
// else solid green.
RgbDisplay statusDisplay(int failedServices, UpdateStatus update, UpdateFailure failure = {},
                         std::int32_t nowSecond = 0);

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
