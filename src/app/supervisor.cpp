#include "app/supervisor.hpp"

#include "status/auth_status.hpp"
#include "status/service_check.hpp"
#include "status/update_monitor.hpp"

#include <systemd/sd-daemon.h>

#include <vector>

namespace glowkeeper {

namespace {

std::string internetText(int result) {
    if (result > 0) {
        return "internet reachable";
    }
    return result == 0 ? "internet unreachable" : "internet check failing";
}

// The lowest failed service decides the flashes; all failed ones are named.
std::string serviceFailureText(int failedServices) {
    std::vector<std::string> names;
    int flashes = 0;
    for (std::size_t bit = 0; bit < monitoredServices.size(); ++bit) {
        if ((failedServices & (1 << bit)) != 0) {
            flashes = flashes == 0 ? static_cast<int>(bit) + 2 : flashes;
            names.push_back(monitoredServices[bit]);
        }
    }
    std::string text = std::to_string(flashes) + " red flashes, ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return text + " not running";
}

std::string rgbText(RgbShown rgb) {
    switch (static_cast<AuthState>(rgb.auth)) {
        case AuthState::RegistrationPossible:
            return "slow blue, registration possible";
        case AuthState::LongPressStarted:
            return "solid blue, long press started";
        case AuthState::LongPressFailed:
            return "3 red flashes, long press failed";
        case AuthState::LongPressSuccess:
            return "3 blue flashes, long press succeeded";
        default:
            break;
    }
    switch (static_cast<UpdateStatus>(rgb.update)) {
        case UpdateStatus::Downloading:
            return "3 white flashes, update downloading";
        case UpdateStatus::Installing:
            return "4 white flashes, update installing";
        case UpdateStatus::Failed:
            return "solid red, update failed";
        default:
            break;
    }
    return rgb.failedServices != 0 ? serviceFailureText(rgb.failedServices) : "solid green, all services running";
}

}  // namespace

std::string statusLine(int internet, RgbShown rgb) { return internetText(internet) + " · RGB: " + rgbText(rgb); }

Supervisor::Supervisor(const PassCounter* connectivityPasses, const PassCounter* rgbPasses, const DisplayState* shown)
    : connectivity(connectivityPasses), rgb(rgbPasses), shown(shown) {
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
        // 0: no service manager listens, so no status line is composed either.
        notify = sd_notify(0, "READY=1") != 0;
        ready = true;
    } else if (petInterval.count() == 0 || now - lastPet < petInterval || connectivityNow == connectivityAtPet ||
               rgbNow == rgbAtPet) {
        // A loop that made no pass since the last pet holds the pets back.
        sendStatus();
        return;
    } else {
        (void)sd_notify(0, "WATCHDOG=1");
    }
    lastPet = now;
    connectivityAtPet = connectivityNow;
    rgbAtPet = rgbNow;
    sendStatus();
}

// Only on change: the loops store the same values every pass.
void Supervisor::sendStatus() {
    if (!notify) {
        return;
    }
    const int internet = shown->internet.load();
    const RgbShown rgbNow = shown->rgb.load();
    if (statusSent && internet == internetSent && rgbNow == rgbSent) {
        return;
    }
    const std::string message = "STATUS=" + statusLine(internet, rgbNow);
    (void)sd_notify(0, message.c_str());
    statusSent = true;
    internetSent = internet;
    rgbSent = rgbNow;
}

void Supervisor::stopping() { (void)sd_notify(0, "STOPPING=1"); }

}  // namespace glowkeeper
