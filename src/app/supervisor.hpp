// Tells the service manager that the daemon is ready once both display loops
// have made a pass, and pets its watchdog only while both keep making passes,
// so a loop stuck in a write or a probe gets the daemon restarted. Without a
// service manager (no NOTIFY_SOCKET) nothing is sent.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace glowkeeper {

// Bumped by a display loop once per pass, after showing and before pausing.
using PassCounter = std::atomic<std::uint64_t>;

class Supervisor {
public:
    // Reads the watchdog interval; call before any thread is started.
    Supervisor(const PassCounter* connectivityPasses, const PassCounter* rgbPasses);

    // Called from the main thread's idle loop: sends READY=1 and WATCHDOG=1
    // when due.
    void poll();
    // Sends STOPPING=1.
    static void stopping();

private:
    const PassCounter* connectivity;
    const PassCounter* rgb;
    bool ready = false;
    // Zero when no watchdog is expected.
    std::chrono::steady_clock::duration petInterval{};
    std::chrono::steady_clock::time_point lastPet;
    std::uint64_t connectivityAtPet = 0;
    std::uint64_t rgbAtPet = 0;
};

}  // namespace glowkeeper
