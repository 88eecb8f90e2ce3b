// Plain lines under systemd, where standard output and error are both the
// journal's socket: the priority prefix only on the stream JOURNAL_STREAM
// names, and whole lines when two threads print at once.
#include <sys/socket.h>

#include <map>

#include "log/journal_stream.hpp"
#include "support/test_support.hpp"

namespace glowkeeper::test {

TEST(JournalStream, LinesOfTwoThreadsStayWholeWithTheirPriorities) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    struct stat info {};
    fstat(pair[0], &info);
    const std::string name = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    setenv("JOURNAL_STREAM", name.c_str(), 1);
    EXPECT_FALSE(isJournalStream(pair[1]));

    const int saved[2] = {dup(STDOUT_FILENO), dup(STDERR_FILENO)};
    dup2(pair[0], STDOUT_FILENO);
    dup2(pair[0], STDERR_FILENO);
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t got = 0; (got = read(pair[1], buffer, sizeof(buffer))) > 0;) {
            received.append(buffer, static_cast<std::size_t>(got));
        }
    });
    const int lines = 2000;
    auto print = [&](int fd, LinePriority priority, char letter) {
        for (int i = 0; i < lines; ++i) {
            writeLine(fd, priority, std::string(40, letter));
        }
    };
    std::thread out(print, STDOUT_FILENO, LinePriority::Info, 'o');
    print(STDERR_FILENO, LinePriority::Warning, 'e');
    out.join();
    dup2(saved[0], STDOUT_FILENO);
    dup2(saved[1], STDERR_FILENO);
    close(pair[0]);
    reader.join();
    std::map<std::string, int> counts;
    for (std::istringstream stream(received); std::getline(stream, received);) {
        ++counts[received];
    }
    EXPECT_EQ(counts, (std::map<std::string, int>{{"<6>" + std::string(40, 'o'), lines},
                                                  {"<4>" + std::string(40, 'e'), lines}}));
}

}  // namespace glowkeeper::test
