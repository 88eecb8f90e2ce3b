#include "app/supervisor.hpp"

#include <systemd/sd-daemon.h>

#include <system_error>

namespace glowkeeper {

Supervisor::Supervisor(const PassCounter* connectivityPasses, const PassCounter* rgbPasses, const DisplayState* shown,
                       const UpdateReport* update, std::shared_ptr<spdlog::logger> logger)
    : connectivity(connectivityPasses), rgb(rgbPasses), shown(shown), update(update), logger(std::move(logger)) {
    // The environment stays as it is: the update monitor's thread spawns
    // its follower with it.
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) {
        // Half the interval, so one late pet still arrives in time.
        petInterval = std::chrono::microseconds(usec / 2);
    }
}

void Supervisor::poll() {
    if (!ready) {
        sendReady();
        return;
    }
    if (!notify) {
        return;
    }
    petIfDue();
    sendStatusIfChanged();
}

// Once both loops have shown something, with the first status line in the
// same datagram, so the unit never shows "ready" without saying what.
void Supervisor::sendReady() {
    const std::uint64_t connectivityNow = connectivity->load();
    const std::uint64_t rgbNow = rgb->load();
    if (connectivityNow == 0 || rgbNow == 0) {
        return;
    }
    const Shown now = current();
    const int result = send("READY=1\nSTATUS=" + statusLine(now.internet, now.rgb, now.follower));
    // 0: no service manager listens, and nothing more is ever sent.
    ready = result >= 0;
    notify = result != 0;
    if (result > 0) {
        statusSent = now;
        lastPet = std::chrono::steady_clock::now();
        connectivityAtPet = connectivityNow;
        rgbAtPet = rgbNow;
    }
}

// A loop that made no pass since the last pet holds the pets back; the pet
// clock moves only with a pet that arrived.
void Supervisor::petIfDue() {
    const std::uint64_t connectivityNow = connectivity->load();
    const std::uint64_t rgbNow = rgb->load();
    const auto now = std::chrono::steady_clock::now();
    if (petInterval.count() == 0 || now - lastPet < petInterval || connectivityNow == connectivityAtPet ||
        rgbNow == rgbAtPet) {
        return;
    }
    if (send("WATCHDOG=1") > 0) {
        lastPet = now;
        connectivityAtPet = connectivityNow;
        rgbAtPet = rgbNow;
    }
}

// The loops store the same values every pass: send only what differs from
// the last line the service manager got.
void Supervisor::sendStatusIfChanged() {
    const Shown now = current();
    if (now != statusSent && send("STATUS=" + statusLine(now.internet, now.rgb, now.follower)) > 0) {
        statusSent = now;
    }
}

Supervisor::Shown Supervisor::current() const {
    return {shown->internet.load(), shown->rgb.load(), update->follower.load()};
}

int Supervisor::send(const std::string& message) {
    const int result = sd_notify(0, message.c_str());
    if (result < 0 && !failureLogged) {
        failureLogged = true;
        logger->warn("Failed to notify the service manager, ignoring: {}",
                     std::error_code(-result, std::generic_category()).message());
    }
    return result;
}

void Supervisor::stopping() { (void)sd_notify(0, "STOPPING=1"); }

}  // namespace glowkeeper
