// The daemon's frame: command line, logger, stop signals, and the start-up
// and shutdown order of the LED drivers and worker threads.
#pragma once

#include <atomic>

namespace glowkeeper {

// True from program load; cleared by the stop-signal handler, never set again.
extern std::atomic<bool> running;

// Usage text logged after a wrong command line.
extern const char* const usageText;

// Installed for SIGTERM and SIGINT; only clears the running flag.
void signalHandler(int signal);

// Runs the whole daemon; returns 0 after an orderly stop, -1 after a wrong
// command line.
int runDaemon(int argc, const char* const* argv);

}  // namespace glowkeeper
