// Reading the authentication status file: the five words, everything that is
// not one of them, and the hostile files a world-writable /tmp can hold.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "status/auth_status.hpp"
#include "support/test_support.hpp"

namespace glowkeeper::test {
namespace {

const std::string undefinedMessage = "Authentication Error, undefined state\n";

// Reads in a forked child under alarm() and a memory limit, so a read that
// blocks or never ends fails the test instead of stalling it.
struct GuardedResult {
    int code;  // 1000: hung or crashed
    long long millis;
    long maxRssKiB;
    std::string stderrText;
};

GuardedResult readGuarded(const std::string& path) {
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        alarm(2);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // A read without bound must fail here, not exhaust the machine.
        const rlimit memory{1UL << 30, 1UL << 30};
        setrlimit(RLIMIT_AS, &memory);
#endif
        _exit(static_cast<int>(readAuthStatus(path.c_str())) + 10);
    }
    int wstatus = 0;
    rusage usage{};
    wait4(child, &wstatus, 0, &usage);
    const auto millis = millisBetween(start, Clock::now());
    const int code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) - 10 : 1000;
    return {code, millis, usage.ru_maxrss, testing::internal::GetCapturedStderr()};
}

struct ContentCase {
    const char* name;
    std::string content;
    int code;
};

void PrintTo(const ContentCase& contentCase, std::ostream* out) { *out << contentCase.name; }

class AuthStatusContent : public testing::TestWithParam<ContentCase> {};

TEST_P(AuthStatusContent, FirstLineMapsToCodeAndReportsUnknownWords) {
    const TempDir dir;
    const std::string path = dir.file("Auth_status.txt");
    std::ofstream(path, std::ios::binary) << GetParam().content;

    EXPECT_EQ(fileExists(path.c_str()), 0);
    const auto result = readGuarded(path);
    EXPECT_EQ(result.code, GetParam().code);
    EXPECT_EQ(result.stderrText, GetParam().code == -4 ? undefinedMessage : "");
}

INSTANTIATE_TEST_SUITE_P(Words, AuthStatusContent,
                         testing::Values(ContentCase{"OffWithNewline", "OFF\n", 0},
                                         ContentCase{"SuccessWithoutNewline", "LongPress_success", 4},
                                         ContentCase{"OnlyFirstLineCounts", "Registration_possible\nOFF\n", 1},
                                         ContentCase{"Started", "LongPress_started", 2},
                                         ContentCase{"Failed", "LongPress_failed\n", 3},
                                         ContentCase{"LowerCase", "off", -4}, ContentCase{"TrailingBlank", "OFF ", -4},
                                         ContentCase{"CarriageReturn", "OFF\r\n", -4}, ContentCase{"EmptyFile", "", -4},
                                         ContentCase{"EmptyFirstLine", "\nOFF", -4},
                                         ContentCase{"WordPrefix", "OFFX", -4},
                                         // One byte past the longest word must still be read.
                                         ContentCase{"LongestWordPlusOne", "Registration_possibleX\n", -4},
                                         ContentCase{"WordThenNul", std::string("OFF\0\n", 5), -4}),
                         [](const auto& info) { return std::string(info.param.name); });

// A missing file and a directory cannot be read; a FIFO without a writer
// blocks a plain open; a link to /dev/zero or a huge sparse file never
// delivers a newline. Each must come back at once, with bounded memory.
TEST(AuthStatusFile, UnreadableAndHostileFilesReturnPromptly) {
    const TempDir dir;
    std::filesystem::create_directory(dir.file("folder"));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    std::filesystem::create_symlink("/dev/zero", dir.file("zero"));
    std::ofstream(dir.file("sparse")) << "OFF";
    ASSERT_EQ(truncate(dir.file("sparse").c_str(), 2LL << 30), 0);

    struct HostileCase {
        const char* name;
        int exists;
        int code;
    };
    for (const auto& [name, exists, code] :
         {HostileCase{"missing", -1, -2}, HostileCase{"folder", 0, -2}, HostileCase{"fifo", 0, -2},
          HostileCase{"zero", 0, -2}, HostileCase{"sparse", 0, -4}}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        EXPECT_EQ(fileExists(path.c_str()), exists);
        const auto result = readGuarded(path);
        EXPECT_EQ(result.code, code) << "1000: the read hung or ran out of memory";
        EXPECT_LT(result.millis, 1000);
        EXPECT_LT(result.maxRssKiB, 256 * 1024) << "read without bound";
        EXPECT_EQ(result.stderrText, code == -4 ? undefinedMessage : "Error reading file " + path + "\n");
    }
}

}  // namespace
}  // namespace glowkeeper::test
