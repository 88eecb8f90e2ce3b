#include "led/led_base.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <ctime>

namespace glowkeeper {

LedBase::LedBase(std::shared_ptr<spdlog::logger> logger) : logger(std::move(logger)) {}

LedBase::~LedBase() { stopBlink(); }

void LedBase::reset() {
    stopBlink();
    off();
}

void LedBase::writeBrightness(const std::string& path, int value) {
    // Plain system calls, as a file stream would make them (truncate, write,
    // close), without its buffer and locale for one digit several times a second.
    std::array<char, 12> text{};
    const char* end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
    const std::lock_guard lock(mutex);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        logger->error("Error opening file: {}", path);
        return;
    }
    // Write and close errors go unreported, as with a file stream.
    [[maybe_unused]] const ssize_t written = write(fd, text.data(), static_cast<std::size_t>(end - text.data()));
    close(fd);
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
