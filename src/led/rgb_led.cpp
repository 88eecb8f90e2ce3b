#include "led/rgb_led.hpp"

#include <array>
#include <chrono>

namespace glowkeeper {

namespace {

struct Channels {
    int red;
    int green;
    int blue;
};

// Indexed by LedColor.
constexpr std::array<Channels, 7> colorTable{{
    {1, 0, 0},  // Red
    {0, 1, 0},  // Green
    {0, 0, 1},  // Blue
    {1, 1, 0},  // Yellow
    {0, 1, 1},  // Cyan
    {1, 0, 1},  // Magenta
    {1, 1, 1},  // White
}};

}  // namespace

RgbLed::RgbLed(const std::string& redPath, const std::string& greenPath, const std::string& bluePath,
               std::shared_ptr<spdlog::logger> logger)
    : LedBase(std::move(logger)), redPath(redPath), greenPath(greenPath), bluePath(bluePath) {}

RgbLed::~RgbLed() { stopBlink(); }

void RgbLed::off() {
    writeBrightness(redPath, 0);
    writeBrightness(greenPath, 0);
    writeBrightness(bluePath, 0);
}

void RgbLed::setColor(LedColor color) {
    if (color >= colorTable.size()) {
        logger->error("Invalid color: {}", static_cast<unsigned int>(color));
        return;
    }
    const Channels& channels = colorTable.at(color);
    writeBrightness(redPath, channels.red);
    writeBrightness(greenPath, channels.green);
    writeBrightness(bluePath, channels.blue);
}

void RgbLed::blink(LedColor color, int fast, unsigned int times) {
    const std::lock_guard lock(patternMutex);
    const int intervalMs = intervalFor(fast);
    if (times != 0) {
        blinkFinite(times, intervalMs, [this, color] { setColor(color); });
    } else {
        blinkIndefinitely([this, color, intervalMs] { blinkLoop(color, intervalMs); });
    }
}

void RgbLed::blinkLoop(LedColor color, int intervalMs) {
    const std::chrono::milliseconds phase(intervalMs);
    while (blinking) {
        setColor(color);
        std::this_thread::sleep_for(phase);
        off();
        std::this_thread::sleep_for(phase);
    }
}

}  // namespace glowkeeper
