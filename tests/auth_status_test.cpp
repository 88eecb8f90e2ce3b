// The authentication status file: the five words, everything that is not one
// of them, and the hostile files a world-writable /tmp can hold.
#include <sys/wait.h>

#include "status/auth_status.hpp"
#include "support/test_support.hpp"

namespace glowkeeper::test {

TEST(AuthStatusWords, OnlyAWholeFirstLineCounts) {
    const std::vector<std::string> words{"OFF", "Registration_possible", "LongPress_started", "LongPress_failed",
                                         "LongPress_success"};
    for (int code = 0; code < 5; ++code) {
        EXPECT_EQ(static_cast<int>(parseAuthStatus(words[code])), code);
        EXPECT_EQ(static_cast<int>(parseAuthStatus(words[code] + "\nOFF\n")), code);
    }
    for (const std::string& text :
         std::vector<std::string>{"off", "OFF ", "OFF\r\n", "", "\nOFF", "OFFX", std::string("OFF\0\n", 5)}) {
        EXPECT_EQ(parseAuthStatus(text), AuthState::UndefinedState) << text;
    }
}

// A missing file and a directory cannot be read; a FIFO without a writer
// blocks a plain open; a link to /dev/zero or a huge sparse file never
// delivers a newline; one byte past the longest word must still be read.
// Each read runs in a forked child under alarm() and a memory cap, and must
// come back at once.
TEST(AuthStatusFile, UnreadableAndHostileFilesReturnPromptly) {
    const TempDir dir;
    std::filesystem::create_directory(dir.file("folder"));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    std::filesystem::create_symlink("/dev/zero", dir.file("zero"));
    std::ofstream(dir.file("sparse")) << "OFF";
    ASSERT_EQ(truncate(dir.file("sparse").c_str(), 2LL << 30), 0);
    std::ofstream(dir.file("long")) << "Registration_possibleX\n";
    std::ofstream(dir.file("word")) << "LongPress_failed\nOFF";

    const std::vector<std::string> names{"missing", "folder", "fifo", "zero", "sparse", "long", "word"};
    const std::vector<int> codes{-2, -2, -2, -2, -4, -4, 3};
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        const std::string path = dir.file(names[i]);
        const int code = codes[i];
        EXPECT_EQ(fileExists(path.c_str()), i == 0 ? -1 : 0);
        testing::internal::CaptureStderr();
        const auto start = Clock::now();
        const pid_t child = fork();
        if (child == 0) {
            alarm(2);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
            const rlimit memory{1UL << 30, 1UL << 30};  // a read without bound fails here
            setrlimit(RLIMIT_AS, &memory);
#endif
            _exit(static_cast<int>(readAuthStatus(path.c_str())) + 10);
        }
        int wstatus = 0;
        rusage usage{};
        wait4(child, &wstatus, 0, &usage);
        EXPECT_LT(millisBetween(start, Clock::now()), 1000);
        EXPECT_EQ(WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) - 10 : 1000, code) << "1000: hung or out of memory";
        EXPECT_LT(usage.ru_maxrss, 256 * 1024) << "read without bound";
        const std::string message = code == -2 ? "Error reading file " + path + "\n" : "";
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  code == -4 ? "Authentication Error, undefined state\n" : message);
    }
}

}  // namespace glowkeeper::test
