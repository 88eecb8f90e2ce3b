// Tells the service manager that the daemon is ready once both display loops
// have made a pass, and pets its watchdog only while both keep making passes,
// so a loop stuck in a write or a probe gets the daemon restarted. It also
// keeps the status line of `systemctl status` saying what the LEDs show.
// A send that fails is tried again at the next poll. Without a service
// manager (no NOTIFY_SOCKET) nothing is sent.
#pragma once

#include "policy/display_state.hpp"
#include "status/update_monitor.hpp"

#include <spdlog/logger.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace glowkeeper {

// Bumped by a display loop once per pass, after showing and before pausing.
using PassCounter = std::atomic<std::uint64_t>;

class Supervisor {
public:
    // Reads the watchdog interval; call before any thread is started.
    Supervisor(const PassCounter* connectivityPasses, const PassCounter* rgbPasses, const DisplayState* shown,
               const UpdateReport* update, std::shared_ptr<spdlog::logger> logger);

    // Called from the main thread's idle loop: sends READY=1 with the first
    // status line once both loops have passed, WATCHDOG=1 when due, and
    // STATUS= when the line differs from the last one delivered.
    void poll();
    // Sends STOPPING=1.
    static void stopping();

private:
    void sendReady();
    void petIfDue();
    void sendStatusIfChanged();
    // sd_notify's result; the first failure is logged.
    int send(const std::string& message);

    // What the status line is made of, compared each poll instead of the text.
    struct Shown {
        InternetDisplay internet;
        RgbDisplay rgb;
        FollowerState follower;
        bool operator==(const Shown&) const = default;
    };
    [[nodiscard]] Shown current() const;

    const PassCounter* connectivity;
    const PassCounter* rgb;
    const DisplayState* shown;
    const UpdateReport* update;
    std::shared_ptr<spdlog::logger> logger;
    // False until READY=1 is delivered, and for good without a service manager.
    bool notify = false;
    bool ready = false;
    bool failureLogged = false;
    // Zero when no watchdog is expected.
    std::chrono::steady_clock::duration petInterval{};
    std::chrono::steady_clock::time_point lastPet;
    std::uint64_t connectivityAtPet = 0;
    std::uint64_t rgbAtPet = 0;
    Shown statusSent{};
};

}  // namespace glowkeeper
