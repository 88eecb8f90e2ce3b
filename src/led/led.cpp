#include "led/led.hpp"

#include <chrono>

namespace glowkeeper {

Led::Led(const std::string& path, std::shared_ptr<spdlog::logger> logger) : LedBase(std::move(logger)), path(path) {}

Led::~Led() { stopBlink(); }

void Led::off() { writeBrightness(path, 0); }

void Led::on() { writeBrightness(path, 1); }

void Led::blink(int fast, unsigned int times) {
    const int intervalMs = intervalFor(fast);
    if (times != 0) {
        blinkFinite(times, intervalMs, [this] { on(); });
    } else {
        blinkIndefinitely([this, intervalMs] { blinkLoop(intervalMs); });
    }
}

void Led::blinkLoop(int intervalMs) {
    const std::chrono::milliseconds phase(intervalMs);
    while (blinking) {
        writeBrightness(path, 1);
        std::this_thread::sleep_for(phase);
        writeBrightness(path, 0);
        std::this_thread::sleep_for(phase);
    }
}

}  // namespace glowkeeper
