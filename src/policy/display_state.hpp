// What the two display loops show, for the line the service manager shows
// in `systemctl status`. Each loop stores what it is about to show; the main
// thread reads. One atomic word per LED, so a reader never sees half a change.
#pragma once

#include <atomic>
#include <cstdint>

namespace glowkeeper {

// The inputs that decided the RGB LED's display.
struct RgbShown {
    // 1 to 4 while the authentication procedure holds the LED, else 0.
    std::int8_t auth = 0;
    // Bit set of failed services, as checkServices gives it.
    std::int8_t failedServices = 0;
    // An UpdateStatus value.
    std::int16_t update = -1;

    bool operator==(const RgbShown&) const = default;
};

struct DisplayState {
    // The probe result the single LED shows.
    std::atomic<int> internet{0};
    std::atomic<RgbShown> rgb{RgbShown{}};
};

static_assert(std::atomic<RgbShown>::is_always_lock_free);

}  // namespace glowkeeper
