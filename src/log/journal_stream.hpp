// Whether a standard stream is the journal: under systemd, JOURNAL_STREAM
// names the stream socket ("device:inode") that stdout and stderr point to.
// Outside the journal nothing of the output changes.
#pragma once

#include <string>

namespace glowkeeper {

// Syslog priorities of the plain lines written without the logger.
enum class LinePriority : int {
    Error = 3,
    Warning = 4,
    Info = 6,
};

// True when the descriptor is the stream socket JOURNAL_STREAM names.
bool isJournalStream(int fd);

// `line` with the "<N>" prefix journald reads as the line's priority when
// `fd` is the journal (decided once per stream), else `line` unchanged.
std::string withPriority(int fd, LinePriority priority, const std::string& line);

// Writes `line` (with its priority, as withPriority gives it) and its newline
// to `fd` in one write, so that a line of another thread never lands inside
// it on the stream both standard streams share under systemd.
void writeLine(int fd, LinePriority priority, const std::string& line);

}  // namespace glowkeeper
