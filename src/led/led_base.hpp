// Common base of the LED drivers: serialised brightness writes through the
// Linux LED class and the state of at most one indefinite blink pattern.
#pragma once

#include "log/thread_name.hpp"

#include <spdlog/logger.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace glowkeeper {

class LedBase {
public:
    explicit LedBase(std::shared_ptr<spdlog::logger> logger);
    // Stops a pattern that is still running instead of terminating the
    // process; derived classes stop it first, while their loop is still valid.
    ~LedBase();

    LedBase(const LedBase&) = delete;
    LedBase& operator=(const LedBase&) = delete;
    LedBase(LedBase&&) = delete;
    LedBase& operator=(LedBase&&) = delete;

    // Writes 0 to every brightness file of the LED; a running pattern goes on.
    virtual void off() = 0;

    // Stops a running pattern (after its current cycle) and darkens the LED.
    void reset();

protected:
    // Opens, writes and closes the file for every single value.
    void writeBrightness(const std::string& path, int value);

    // Clears the flag under the write mutex, then joins the blink thread.
    void stopBlink();

    // A finite pattern on the caller's thread: `times` cycles of show, one
    // phase, reset (which also ends a running indefinite pattern), one phase.
    template <typename Show>
    void blinkFinite(unsigned int times, int intervalMs, Show show);

    // Starts `loop` on the blink thread unless a pattern already runs. A
    // thread that cannot be started is logged and leaves the driver idle.
    template <typename Loop>
    void blinkIndefinitely(Loop loop);

    // Sleeps one phase of a finite pattern; resumes after EINTR.
    static void sleepPhase(int intervalMs);

    // Length of one phase: 200 ms for a fast pattern, 500 ms for a slow one.
    static int intervalFor(int fast) { return fast != 0 ? 200 : 500; }

    std::atomic<bool> blinking{false};
    std::thread blinkThread;
    std::mutex mutex;
    std::shared_ptr<spdlog::logger> logger;

private:
    void reportThreadFailure(const std::exception& error);
};

template <typename Show>
void LedBase::blinkFinite(unsigned int times, int intervalMs, Show show) {
    logger->debug("Blinking {} times with interval {}ms", times, intervalMs);
    for (unsigned int cycle = 0; cycle < times; ++cycle) {
        show();
        sleepPhase(intervalMs);
        reset();
        sleepPhase(intervalMs);
    }
}

template <typename Loop>
void LedBase::blinkIndefinitely(Loop loop) {
    if (blinking) {
        return;
    }
    logger->debug("Blinking indefinitely");
    // Raised before the thread starts: the loop only reads it.
    blinking = true;
    try {
        blinkThread = std::thread(std::move(loop));
        nameThread(blinkThread, "blink");
    } catch (const std::exception& error) {
        blinking = false;
        reportThreadFailure(error);
    }
}

}  // namespace glowkeeper
