#include "app/supervisor.hpp"

#include <systemd/sd-daemon.h>

namespace glowkeeper {

Supervisor::Supervisor(const PassCounter* connectivityPasses, const PassCounter* rgbPasses)
    : connectivity(connectivityPasses), rgb(rgbPasses) {
    // The environment stays as it is: the update monitor's thread spawns
    // its follower with it.
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) {
        // Half the interval, so one late pet still arrives in time.
        petInterval = std::chrono::microseconds(usec / 2);
    }
}

void Supervisor::poll() {
    const std::uint64_t connectivityNow = connectivity->load();
    const std::uint64_t rgbNow = rgb->load();
    const auto now = std::chrono::steady_clock::now();
    if (!ready) {
        if (connectivityNow == 0 || rgbNow == 0) {
            return;
        }
        (void)sd_notify(0, "READY=1");
        ready = true;
    } else if (petInterval.count() == 0 || now - lastPet < petInterval || connectivityNow == connectivityAtPet ||
               rgbNow == rgbAtPet) {
        // A loop that made no pass since the last pet holds the pets back.
        return;
    } else {
        (void)sd_notify(0, "WATCHDOG=1");
    }
    lastPet = now;
    connectivityAtPet = connectivityNow;
    rgbAtPet = rgbNow;
}

void Supervisor::stopping() { (void)sd_notify(0, "STOPPING=1"); }

}  // namespace glowkeeper
