#include "led/led_base.hpp"

#include <cerrno>
#include <ctime>
#include <fstream>

namespace glowkeeper {

LedBase::LedBase(std::shared_ptr<spdlog::logger> logger) : logger(std::move(logger)) {}

LedBase::~LedBase() { stopBlink(); }

void LedBase::reset() {
    stopBlink();
    off();
}

void LedBase::writeBrightness(const std::string& path, int value) {
    const std::lock_guard lock(mutex);
    std::ofstream file(path);
    if (file.is_open()) {
        file << value;
        file.close();
    } else {
        logger->error("Error opening file: {}", path);
    }
}

void LedBase::stopBlink() {
    {
        const std::lock_guard lock(mutex);
        blinking = false;
    }
    // Joined outside the lock: the blink thread takes it for every write.
    if (blinkThread.joinable()) {
        blinkThread.join();
    }
}

void LedBase::sleepPhase(int intervalMs) {
    timespec remaining{0, static_cast<long>(intervalMs) * 1000000L};
    while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}

void LedBase::reportThreadFailure(const std::exception& error) {
    logger->error("Could not start blink thread: {}", error.what());
}

}  // namespace glowkeeper
