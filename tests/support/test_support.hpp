// Shared helpers of the unit tests: timing, temporary folders, a logger into
// a string, and FIFO recorders for brightness files. Brings in what every
// test uses (gtest, files, descriptors, limits).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/ostream_sink.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace glowkeeper::test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline long long millisBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// How long `action` kept the caller.
inline long long millisOf(const std::function<void()>& action) {
    const auto start = Clock::now();
    action();
    return millisBetween(start, Clock::now());
}

// Polls `condition` until it holds or `timeout` passes.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// A debug-level logger writing "level message" lines into `out`.
inline std::shared_ptr<spdlog::logger> stringLogger(std::ostringstream& out) {
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
    sink->set_pattern("%l %v");
    auto logger = std::make_shared<spdlog::logger>("test", sink);
    logger->set_level(spdlog::level::debug);
    return logger;
}

// A fresh folder below /tmp, removed with everything in it.
struct TempDir {
    std::filesystem::path root = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "glowkeeper-test.XXXXXX").string();
        return mkdtemp(pattern.data()) != nullptr ? pattern : throw std::runtime_error("no temporary folder");
    }();
    ~TempDir() { std::filesystem::remove_all(root); }
    [[nodiscard]] std::string file(const std::string& name) const { return (root / name).string(); }
};

struct Write {
    char value;
    Clock::time_point time;  // when it was read
};

// Makes `path` a FIFO and records every byte written to it. Holding both
// ends open, it never blocks a writer's open and sees every write in order.
class FifoRecorder {
public:
    explicit FifoRecorder(std::string fifoPath) : path(std::move(fifoPath)) {
        fd = mkfifo(path.c_str(), 0644) == 0 ? open(path.c_str(), O_RDWR | O_CLOEXEC) : -1;
        reader = std::thread([this] {
            pollfd wait{fd, POLLIN, 0};
            while (!stopping) {
                char buffer[64];
                const ssize_t got = poll(&wait, 1, 20) == 1 ? read(fd, buffer, sizeof(buffer)) : 0;
                const auto now = Clock::now();
                const std::lock_guard lock(mutex);
                for (ssize_t i = 0; i < got; ++i) {
                    recorded.push_back({buffer[i], now});
                    text.push_back(buffer[i]);
                }
            }
        });
    }
    ~FifoRecorder() {
        stopping = true;
        reader.join();
        close(fd);
    }
    std::vector<Write> writes() {
        const std::lock_guard lock(mutex);
        return recorded;
    }
    std::string values() {  // e.g. "101010"
        const std::lock_guard lock(mutex);
        return text;
    }
    bool waitForWrites(std::size_t count, std::chrono::milliseconds timeout) {
        return waitUntil([&] { return writes().size() >= count; }, timeout);
    }
    const std::string path;

private:
    int fd = -1;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::vector<Write> recorded;
    std::string text;
    std::thread reader;
};

}  // namespace glowkeeper::test
