#include "status/auth_status.hpp"

#include "log/journal_stream.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace glowkeeper {

const std::unordered_map<std::string, int> authStateTable = {
    {"OFF", 0},
    {"Registration_possible", 1},
    {"LongPress_started", 2},
    {"LongPress_failed", 3},
    {"LongPress_success", 4},
};

namespace {

std::size_t longestWord() {
    std::size_t longest = 0;
    for (const auto& entry : authStateTable) {
        longest = std::max(longest, entry.first.size());
    }
    return longest;
}

// The file lives in world-writable /tmp: opening must never block (a FIFO)
// and reading must stay bounded (a huge line, a link to /dev/zero). Returns
// -1 when the path is no readable regular file, else the descriptor.
int openRegularFile(const char* path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads at most `limit` bytes; a longer first line then stays longer than
// any word, so it never matches.
std::string readFirstBytes(int fd, std::size_t limit) {
    std::string buffer(limit, '\0');
    std::size_t filled = 0;
    while (filled < limit) {
        const ssize_t got = read(fd, buffer.data() + filled, limit - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    buffer.resize(filled);
    return buffer;
}

}  // namespace

int fileExists(const char* path) { return access(path, F_OK) == 0 ? 0 : -1; }

AuthState readAuthStatus(const char* path) {
    const int fd = openRegularFile(path);
    if (fd < 0) {
        // A warning: the loop logs the error that follows from it.
        writeLine(STDERR_FILENO, LinePriority::Warning, std::string("Error reading file ") + path);
        return AuthState::ReadError;
    }
    static const std::size_t limit = longestWord() + 1;
    const std::string firstBytes = readFirstBytes(fd, limit);
    close(fd);

    const AuthState state = parseAuthStatus(firstBytes);
    if (state == AuthState::UndefinedState) {
        writeLine(STDERR_FILENO, LinePriority::Warning, "Authentication Error, undefined state");
    }
    return state;
}

AuthState parseAuthStatus(std::string_view firstBytes) {
    const auto entry = authStateTable.find(std::string(firstBytes.substr(0, firstBytes.find('\n'))));
    return entry == authStateTable.end() ? AuthState::UndefinedState : static_cast<AuthState>(entry->second);
}

}  // namespace glowkeeper
