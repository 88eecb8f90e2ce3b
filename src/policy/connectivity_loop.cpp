#include "policy/connectivity_loop.hpp"

#include "status/internet_probe.hpp"

#include <chrono>
#include <thread>

namespace glowkeeper {

void connectivityLoop(Led* led, std::atomic<bool>& running, std::shared_ptr<spdlog::logger> logger,
                      std::atomic<std::uint64_t>& passes, DisplayState& shown) {
    int previous = 0;
    while (running.load()) {
        const int result = checkInternet();
        shown.internet.store(result);
        if (result < 0) {
            // Once per unbroken run of failures; the flashes repeat every pass.
            if (result != previous) {
                logger->error("Error checking internet connection: Could not create socket");
            }
            led->blink(1, 3);
        } else if (result > 0) {
            logger->debug("Internet connection available");
            led->on();
        } else {
            logger->debug("No internet connection");
            led->reset();
        }
        passes.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        previous = result;
    }
}

}  // namespace glowkeeper
