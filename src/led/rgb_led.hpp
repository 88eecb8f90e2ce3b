// Three-channel LED, one brightness file per channel, showing seven colours.
#pragma once

#include "led/led_base.hpp"

namespace glowkeeper {

class RgbLed final : public LedBase {
public:
    // Values cross to the status loop as integers: keep the numbers.
    enum LedColor : unsigned int { Red = 0, Green = 1, Blue = 2, Yellow = 3, Cyan = 4, Magenta = 5, White = 6 };

    RgbLed(const std::string& redPath, const std::string& greenPath, const std::string& bluePath,
           std::shared_ptr<spdlog::logger> logger);
    ~RgbLed();

    RgbLed(const RgbLed&) = delete;
    RgbLed& operator=(const RgbLed&) = delete;
    RgbLed(RgbLed&&) = delete;
    RgbLed& operator=(RgbLed&&) = delete;

    void off() override;
    // Writes red, green, blue in that order; an unknown value writes nothing.
    void setColor(LedColor color);
    // times > 0: that many cycles on this thread; times == 0: indefinitely
    // on the blink thread, unless a pattern already runs.
    void blink(LedColor color, int fast, unsigned int times);

private:
    void blinkLoop(LedColor color, int intervalMs);

    std::string redPath;
    std::string greenPath;
    std::string bluePath;
    std::mutex patternMutex;
};

}  // namespace glowkeeper
