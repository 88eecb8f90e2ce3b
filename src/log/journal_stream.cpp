#include "log/journal_stream.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace glowkeeper {

bool isJournalStream(int fd) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the daemon changes its environment
    const char* named = std::getenv("JOURNAL_STREAM");
    if (named == nullptr) {
        return false;
    }
    const std::string_view text(named);
    std::uintmax_t device = 0;
    std::uintmax_t inode = 0;
    const auto [deviceEnd, deviceError] = std::from_chars(text.data(), text.data() + text.size(), device);
    if (deviceError != std::errc() || deviceEnd == text.data() + text.size() || *deviceEnd != ':') {
        return false;
    }
    const auto [inodeEnd, inodeError] = std::from_chars(deviceEnd + 1, text.data() + text.size(), inode);
    struct stat info {};
    if (inodeError != std::errc() || inodeEnd != text.data() + text.size() || fstat(fd, &info) != 0) {
        return false;
    }
    return info.st_dev == device && info.st_ino == inode;
}

std::string withPriority(int fd, LinePriority priority, const std::string& line) {
    // Decided once: the streams are not redirected while the daemon runs.
    static const bool stdoutIsJournal = isJournalStream(STDOUT_FILENO);
    static const bool stderrIsJournal = isJournalStream(STDERR_FILENO);
    const bool journal = fd == STDOUT_FILENO ? stdoutIsJournal : fd == STDERR_FILENO && stderrIsJournal;
    if (!journal) {
        return line;
    }
    return "<" + std::to_string(static_cast<int>(priority)) + ">" + line;
}

void writeLine(int fd, LinePriority priority, const std::string& line) {
    const std::string text = withPriority(fd, priority, line) + "\n";
    std::size_t written = 0;
    // Only a partial write (a full pipe, a signal) takes a second call.
    while (written < text.size()) {
        const ssize_t result = write(fd, text.data() + written, text.size() - written);
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result <= 0) {
            return;
        }
        written += static_cast<std::size_t>(result);
    }
}

}  // namespace glowkeeper
