#include "policy/rgb_status_loop.hpp"

#include "status/auth_status.hpp"
#include "status/service_check.hpp"

#include <chrono>
#include <thread>

namespace glowkeeper {

namespace {

constexpr const char* authStatusPath = "/tmp/Auth_status.txt";

void statusPass(RgbLed* led, std::atomic<UpdateStatus>& updateStatus, spdlog::logger& logger,
                std::atomic<std::uint64_t>& passes, DisplayState& shown) {
    const int failed = checkServices();
    if (failed != 0) {
        logger.debug("Service check failed: {}", failed);
    } else {
        logger.debug("Service check: all services are running");
    }
    // One load, so the log line shows what the LED shows.
    const UpdateStatus update = updateStatus.load();
    logger.debug("Update status: {}", static_cast<int>(update));
    shown.rgb.store({0, static_cast<std::int8_t>(failed), static_cast<std::int16_t>(update)});
    showStatus(failed, update, led);
    passes.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

}  // namespace

void showUpdateStatus(UpdateStatus status, RgbLed* led) {
    switch (status) {
        case UpdateStatus::Downloading:
            led->blink(RgbLed::White, 1, 3);
            break;
        case UpdateStatus::Installing:
            led->blink(RgbLed::White, 1, 4);
            break;
        case UpdateStatus::Failed:
            led->setColor(RgbLed::Red);
            break;
        default:
            break;
    }
}

void showServiceFailure(int failedServices, RgbLed* led) {
    if ((failedServices & 1) != 0) {
        led->blink(RgbLed::Red, 1, 2);
    } else if ((failedServices & 2) != 0) {
        led->blink(RgbLed::Red, 1, 3);
    } else if ((failedServices & 4) != 0) {
        led->blink(RgbLed::Red, 1, 4);
    }
}

void showStatus(int failedServices, UpdateStatus status, RgbLed* led) {
    if (status != UpdateStatus::Unknown && status != UpdateStatus::Idle) {
        showUpdateStatus(status, led);
    } else if (failedServices != 0) {
        showServiceFailure(failedServices, led);
    } else {
        led->setColor(RgbLed::Green);
    }
}

void rgbStatusLoop(RgbLed* led, std::atomic<bool>& running, std::atomic<UpdateStatus>& updateStatus,
                   std::shared_ptr<spdlog::logger> logger, std::atomic<std::uint64_t>& passes, DisplayState& shown) {
    // Decided once: a status file created later is never read.
    const bool authMode = fileExists(authStatusPath) == 0;
    int previous = static_cast<int>(AuthState::Off);

    while (running.load()) {
        if (!authMode) {
            statusPass(led, updateStatus, *logger, passes, shown);
            continue;
        }
        const int code = static_cast<int>(readAuthStatus(authStatusPath));
        if (code != previous) {
            logger->debug("Authentication check changed {} -> {}", previous, code);
        }
        const int before = previous;
        previous = code;
        if (code >= static_cast<int>(AuthState::RegistrationPossible) &&
            code <= static_cast<int>(AuthState::LongPressSuccess)) {
            shown.rgb.store({static_cast<std::int8_t>(code), 0, -1});
        }
        switch (static_cast<AuthState>(code)) {
            case AuthState::Off:
                if (before != static_cast<int>(AuthState::Off)) {
                    led->reset();
                }
                statusPass(led, updateStatus, *logger, passes, shown);
                continue;
            case AuthState::RegistrationPossible:
                led->blink(RgbLed::Blue, 0, 0);
                break;
            case AuthState::LongPressStarted:
                led->setColor(RgbLed::Blue);
                break;
            case AuthState::LongPressFailed:
                led->blink(RgbLed::Red, 1, 3);
                break;
            case AuthState::LongPressSuccess:
                led->blink(RgbLed::Blue, 1, 3);
                break;
            default:
                logger->error("Authentication check: unknown state");
                statusPass(led, updateStatus, *logger, passes, shown);
                continue;
        }
        passes.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace glowkeeper
