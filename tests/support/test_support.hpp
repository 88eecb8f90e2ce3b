// Shared helpers of the unit tests: a log-recording sink, temporary folders,
// FIFO recorders for brightness files, and namespace checks.
#pragma once

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace glowkeeper::test {

using Clock = std::chrono::steady_clock;

struct LogLine {
    spdlog::level::level_enum level;
    std::string message;
};

// Keeps level and formatted message of every line logged through it.
class RecordingSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogLine> lines();
    // Number of lines at `level` whose message equals `message`.
    std::size_t count(spdlog::level::level_enum level, const std::string& message);

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override {}

private:
    std::vector<LogLine> recorded;
};

// A debug-level logger that records into the returned sink.
std::shared_ptr<spdlog::logger> recordingLogger(std::shared_ptr<RecordingSink>& sink);

// A fresh folder below /tmp, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    TempDir(TempDir&&) = delete;
    TempDir& operator=(TempDir&&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return root; }
    [[nodiscard]] std::string file(const std::string& name) const { return (root / name).string(); }

private:
    std::filesystem::path root;
};

// One write seen on a brightness FIFO, stamped when it was read.
struct Write {
    char value;
    Clock::time_point time;
};

// Makes `path` a FIFO and records every byte written to it. The recorder
// holds both ends open, so a writer's open never blocks and every single
// write arrives in order.
class FifoRecorder {
public:
    explicit FifoRecorder(std::string path);
    ~FifoRecorder();
    FifoRecorder(const FifoRecorder&) = delete;
    FifoRecorder& operator=(const FifoRecorder&) = delete;
    FifoRecorder(FifoRecorder&&) = delete;
    FifoRecorder& operator=(FifoRecorder&&) = delete;

    [[nodiscard]] const std::string& path() const { return fifoPath; }
    std::vector<Write> writes();
    // The values as text, e.g. "101010".
    std::string values();
    // Waits until at least `count` writes were seen, at most `timeout`.
    bool waitForWrites(std::size_t count, std::chrono::milliseconds timeout);

private:
    void run();

    std::string fifoPath;
    int fd = -1;
    int stopPipe[2] = {-1, -1};
    std::mutex mutex;
    std::vector<Write> recorded;
    std::thread reader;
};

// Polls `condition` until it holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Moves this process into a fresh network namespace with lo up and every
// IPv4 address routed to it, so a listener on 0.0.0.0 answers any address
// and no packet leaves. False when namespaces are not available.
bool enterPrivateNetwork();

// Moves this process (single-threaded) into a fresh mount namespace whose
// mounts do not propagate back. False when namespaces are not available.
bool enterPrivateMounts();

// Milliseconds between two time points.
inline long long millisBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

}  // namespace glowkeeper::test
