// Tells the service manager that the daemon is ready once both display loops
// have made a pass, and pets its watchdog only while both keep making passes,
// so a loop stuck in a write or a probe gets the daemon restarted. It also
// keeps the status line of `systemctl status` saying what the LEDs show.
// Without a service manager (no NOTIFY_SOCKET) nothing is sent.
#pragma once

#include "policy/display_state.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace glowkeeper {

// Bumped by a display loop once per pass, after showing and before pausing.
using PassCounter = std::atomic<std::uint64_t>;

class Supervisor {
public:
    // Reads the watchdog interval; call before any thread is started.
    Supervisor(const PassCounter* connectivityPasses, const PassCounter* rgbPasses, const DisplayState* shown);

    // Called from the main thread's idle loop: sends READY=1 and WATCHDOG=1
    // when due, and STATUS= when what the LEDs show has changed.
    void poll();
    // Sends STOPPING=1.
    static void stopping();

private:
    void sendStatus();

    const PassCounter* connectivity;
    const PassCounter* rgb;
    const DisplayState* shown;
    bool notify = false;
    bool ready = false;
    // Zero when no watchdog is expected.
    std::chrono::steady_clock::duration petInterval{};
    std::chrono::steady_clock::time_point lastPet;
    std::uint64_t connectivityAtPet = 0;
    std::uint64_t rgbAtPet = 0;
    bool statusSent = false;
    int internetSent = 0;
    RgbShown rgbSent;
};

// The status line for what the two LEDs show, in the words of the LED tables.
std::string statusLine(int internet, RgbShown rgb);

}  // namespace glowkeeper
