#include "app/daemon.hpp"

#include "app/supervisor.hpp"
#include "board.hpp"
#include "led/led.hpp"
#include "led/rgb_led.hpp"
#include "log/journal_stream.hpp"
#include "log/thread_name.hpp"
#include "policy/connectivity_loop.hpp"
#include "policy/rgb_status_loop.hpp"
#include "status/update_monitor.hpp"

#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/systemd_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>

namespace glowkeeper {

// A signal handler writes it, so it must never take a lock.
static_assert(std::atomic<bool>::is_always_lock_free);
std::atomic<bool> running{true};

const char* const usageText = "Usage:\t- argument \"d\" for debug-messages\n\t- no arguments for normal start";

namespace {

// Straight to the journal when stdout is the journal, so each line keeps its
// level as its priority and carries no time stamp of its own.
std::shared_ptr<spdlog::sinks::sink> createSink() {
    if (isJournalStream(STDOUT_FILENO)) {
        return std::make_shared<spdlog::sinks::systemd_sink_mt>("glowkeeper");
    }
    return std::make_shared<spdlog::sinks::ansicolor_stdout_sink<spdlog::details::console_mutex>>(
        spdlog::color_mode::automatic);
}

std::shared_ptr<spdlog::logger> createLogger() {
    auto sink = createSink();
    auto logger = std::make_shared<spdlog::logger>("glowkeeper", sink);
    spdlog::register_logger(logger);
    return logger;
}

// Accepts no argument or one beginning with 'd'; sets the level to match.
bool applyCommandLine(int argc, const char* const* argv, spdlog::logger& logger) {
    if (argc == 1) {
        logger.set_level(spdlog::level::info);
        return true;
    }
    if (argc == 2 && argv[1][0] == 'd') {
        logger.set_level(spdlog::level::debug);
        logger.debug("Debug mode activated");
        return true;
    }
    logger.error("Wrong arguments");
    logger.error(std::string_view(usageText));
    return false;
}

}  // namespace

void signalHandler(int /*signal*/) { running.store(false); }

int runDaemon(int argc, const char* const* argv) {
    auto logger = createLogger();
    (void)std::signal(SIGTERM, signalHandler);
    (void)std::signal(SIGINT, signalHandler);
    if (!applyCommandLine(argc, argv, *logger)) {
        return -1;
    }

    // Created before the workers that borrow them, destroyed after them.
    UpdateReport updateReport;
    UpdateMonitorControl monitorControl;
    PassCounter connectivityPasses{0};
    PassCounter rgbPasses{0};
    DisplayState shown;
    Supervisor supervisor(&connectivityPasses, &rgbPasses, &shown, &updateReport, logger);

    Led led(board::singleLedPath, logger);
    std::thread connectivityThread(connectivityLoop, &led, std::ref(running), logger, std::ref(connectivityPasses),
                                   std::ref(shown));
    std::thread monitorThread(monitorUpdateStatus, std::ref(updateReport), std::ref(monitorControl));
    RgbLed rgbLed(board::redChannelPath, board::greenChannelPath, board::blueChannelPath, logger);
    std::thread rgbThread(rgbStatusLoop, &rgbLed, std::ref(running), std::cref(updateReport), logger,
                          std::ref(rgbPasses), std::ref(shown));
    nameThread(connectivityThread, "internet");
    nameThread(monitorThread, "update-monitor");
    nameThread(rgbThread, "rgb-status");

    while (running.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        supervisor.poll();
    }
    Supervisor::stopping();

    connectivityThread.join();
    rgbThread.join();
    // The follower may not have seen the stop signal (sent to us alone).
    monitorControl.stop();
    monitorThread.join();

    led.reset();
    rgbLed.reset();
    logger->debug("Main thread exiting");
    return 0;
}

}  // namespace glowkeeper
