#include "policy/rgb_status_loop.hpp"

#include "status/auth_status.hpp"
#include "status/service_check.hpp"

#include <chrono>
#include <thread>

namespace glowkeeper {

namespace {

constexpr const char* authStatusPath = "/tmp/Auth_status.txt";

void statusPass(RgbLed* led, const UpdateReport& report, spdlog::logger& logger, std::atomic<std::uint64_t>& passes,
                DisplayState& shown) {
    const int failed = checkServices();
    if (failed != 0) {
        logger.debug("Service check failed: {}", failed);
    } else {
        logger.debug("Service check: all services are running");
    }
    // One load, so the log line shows what the LED shows.
    const UpdateStatus update = report.status.load();
    logger.debug("Update status: {}", static_cast<int>(update));
    const RgbDisplay display = statusDisplay(failed, update, report.failure.load(), monotonicSecond());
    shown.rgb.store(display);
    show(led, display);
    passes.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

}  // namespace

void rgbStatusLoop(RgbLed* led, std::atomic<bool>& running, const UpdateReport& update,
                   std::shared_ptr<spdlog::logger> logger, std::atomic<std::uint64_t>& passes, DisplayState& shown) {
    // Decided once: a status file created later is never read.
    const bool authMode = fileExists(authStatusPath) == 0;
    AuthState previous = AuthState::Off;

    while (running.load()) {
        if (!authMode) {
            statusPass(led, update, *logger, passes, shown);
            continue;
        }
        const AuthState state = readAuthStatus(authStatusPath);
        if (state != previous) {
            logger->debug("Authentication check changed {} -> {}", static_cast<int>(previous), static_cast<int>(state));
        }
        const AuthState before = previous;
        previous = state;
        if (const auto display = authDisplay(state)) {
            shown.rgb.store(*display);
            show(led, *display);
            passes.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (state == AuthState::Off) {
            if (before != AuthState::Off) {
                led->reset();
            }
        } else {
            logger->error("Authentication check: unknown state");
        }
        statusPass(led, update, *logger, passes, shown);
    }
}

}  // namespace glowkeeper
