#include "log/journal_stream.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace glowkeeper {

bool isJournalStream(int fd) {
    const char* named = std::getenv("JOURNAL_STREAM");
    std::uintmax_t device = 0;
    std::uintmax_t inode = 0;
    struct stat info {};
    // NOLINTNEXTLINE(cert-err34-c): a malformed value just fails the match
    if (named == nullptr || std::sscanf(named, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2 ||
        fstat(fd, &info) != 0) {
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

}  // namespace glowkeeper
