// Single-colour LED on one brightness file.
#pragma once

#include "led/led_base.hpp"

namespace glowkeeper {

class Led final : public LedBase {
public:
    Led(const std::string& path, std::shared_ptr<spdlog::logger> logger);
    ~Led();

    Led(const Led&) = delete;
    Led& operator=(const Led&) = delete;
    Led(Led&&) = delete;
    Led& operator=(Led&&) = delete;

    void off() override;
    void on();
    // times > 0: that many cycles on this thread; times == 0: indefinitely
    // on the blink thread, unless a pattern already runs.
    void blink(int fast, unsigned int times);

private:
    void blinkLoop(int intervalMs);

    std::string path;
};

}  // namespace glowkeeper
