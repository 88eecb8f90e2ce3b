#include "policy/connectivity_loop.hpp"

#include "status/internet_probe.hpp"

#include <chrono>
#include <thread>

namespace glowkeeper {

void connectivityLoop(Led* led, std::atomic<bool>& running, std::shared_ptr<spdlog::logger> logger,
                      std::atomic<std::uint64_t>& passes, DisplayState& shown) {
    InternetDisplay previous = InternetDisplay::Unreachable;
    while (running.load()) {
        const InternetDisplay display = internetDisplay(checkInternet());
        shown.internet.store(display);
        if (display == InternetDisplay::Failing) {
            // Once per unbroken run of failures; the flashes repeat every pass.
            if (display != previous) {
                logger->error("Error checking internet connection: Could not create socket");
            }
        } else if (display == InternetDisplay::Reachable) {
            logger->debug("Internet connection available");
        } else {
            logger->debug("No internet connection");
        }
        show(led, display);
        passes.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        previous = display;
    }
}

}  // namespace glowkeeper
