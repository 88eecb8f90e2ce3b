#include "support/test_support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace glowkeeper::test {

std::vector<LogLine> RecordingSink::lines() {
    const std::lock_guard lock(mutex_);
    return recorded;
}

std::size_t RecordingSink::count(spdlog::level::level_enum level, const std::string& message) {
    std::size_t found = 0;
    for (const auto& line : lines()) {
        found += (line.level == level && line.message == message) ? 1 : 0;
    }
    return found;
}

void RecordingSink::sink_it_(const spdlog::details::log_msg& msg) {
    recorded.push_back({msg.level, std::string(msg.payload.begin(), msg.payload.end())});
}

std::shared_ptr<spdlog::logger> recordingLogger(std::shared_ptr<RecordingSink>& sink) {
    sink = std::make_shared<RecordingSink>();
    auto logger = std::make_shared<spdlog::logger>("test", sink);
    logger->set_level(spdlog::level::debug);
    return logger;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "glowkeeper-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    root = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

FifoRecorder::FifoRecorder(std::string path) : fifoPath(std::move(path)) {
    if (mkfifo(fifoPath.c_str(), 0644) != 0 || pipe2(stopPipe, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "FifoRecorder");
    }
    fd = open(fifoPath.c_str(), O_RDWR | O_CLOEXEC);
    reader = std::thread([this] { run(); });
}

FifoRecorder::~FifoRecorder() {
    (void)!write(stopPipe[1], "x", 1);
    reader.join();
    close(fd);
    close(stopPipe[0]);
    close(stopPipe[1]);
}

void FifoRecorder::run() {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            char buffer[64];
            const ssize_t got = read(fd, buffer, sizeof(buffer));
            const auto now = Clock::now();
            const std::lock_guard lock(mutex);
            for (ssize_t i = 0; i < got; ++i) {
                recorded.push_back({buffer[i], now});
            }
            continue;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
    }
}

std::vector<Write> FifoRecorder::writes() {
    const std::lock_guard lock(mutex);
    return recorded;
}

std::string FifoRecorder::values() {
    std::string text;
    for (const auto& entry : writes()) {
        text.push_back(entry.value);
    }
    return text;
}

bool FifoRecorder::waitForWrites(std::size_t count, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return writes().size() >= count; }, timeout);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool enterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    return std::system("ip link set lo up && ip route add local 0.0.0.0/0 dev lo") == 0;
}

bool enterPrivateMounts() {
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

}  // namespace glowkeeper::test
