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

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

struct ReadResult {
    int code;
    std::string stderrText;
};

ReadResult readCapturing(const std::string& path) {
    testing::internal::CaptureStderr();
    const int code = static_cast<int>(readAuthStatus(path.c_str()));
    return {code, testing::internal::GetCapturedStderr()};
}

// Reads in a forked child under alarm() and a memory limit, so a read that
// blocks or never ends fails the test instead of stalling it.
struct GuardedResult {
    int code;
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
#ifndef __SANITIZE_ADDRESS__
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
    const int code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) - 10 : 1000;  // 1000: hung or crashed
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
    writeFile(path, GetParam().content);

    EXPECT_EQ(fileExists(path.c_str()), 0);
    const auto result = readCapturing(path);
    EXPECT_EQ(result.code, GetParam().code);
    EXPECT_EQ(result.stderrText, GetParam().code == -4 ? undefinedMessage : "");
}

INSTANTIATE_TEST_SUITE_P(
    Words, AuthStatusContent,
    testing::Values(ContentCase{"OffWithNewline", "OFF\n", 0},
                    ContentCase{"SuccessWithoutNewline", "LongPress_success", 4},
                    ContentCase{"OnlyFirstLineCounts", "Registration_possible\nOFF\n", 1},
                    ContentCase{"Started", "LongPress_started", 2}, ContentCase{"Failed", "LongPress_failed\n", 3},
                    ContentCase{"LowerCase", "off", -4}, ContentCase{"TrailingBlank", "OFF ", -4},
                    ContentCase{"CarriageReturn", "OFF\r\n", -4}, ContentCase{"EmptyFile", "", -4},
                    ContentCase{"EmptyFirstLine", "\nOFF", -4}, ContentCase{"WordPrefix", "OFFX", -4},
                    ContentCase{"WordThenText", "OFF since boot\n", -4},
                    ContentCase{"LongestWordPlusOne", "Registration_possibleX\n", -4},
                    ContentCase{"LongestWordThenLongText", "Registration_possible and then a long tail\n", -4},
                    ContentCase{"WordThenNul", std::string("OFF\0\n", 5), -4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AuthStatusFile, MissingFileIsReadErrorNamingThePath) {
    const TempDir dir;
    const std::string path = dir.file("Auth_status.txt");
    EXPECT_EQ(fileExists(path.c_str()), -1);
    const auto result = readCapturing(path);
    EXPECT_EQ(result.code, -2);
    EXPECT_EQ(result.stderrText, "Error reading file " + path + "\n");
}

TEST(AuthStatusFile, DirectoryExistsButIsUnreadable) {
    const TempDir dir;
    const std::string path = dir.file("Auth_status.txt");
    std::filesystem::create_directory(path);
    EXPECT_EQ(fileExists(path.c_str()), 0);
    const auto result = readGuarded(path);
    EXPECT_EQ(result.code, -2);
    EXPECT_EQ(result.stderrText, "Error reading file " + path + "\n");
}

// A FIFO without a writer blocks a plain open; a link to /dev/zero or a huge
// sparse file never delivers a newline. Each must come back at once.
TEST(AuthStatusFile, HostileFilesReturnPromptly) {
    const TempDir dir;
    const std::string fifo = dir.file("fifo");
    const std::string zero = dir.file("zero");
    const std::string sparse = dir.file("sparse");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::filesystem::create_symlink("/dev/zero", zero);
    writeFile(sparse, "OFF");
    ASSERT_EQ(truncate(sparse.c_str(), 2LL << 30), 0);

    struct HostileCase {
        std::string path;
        int code;
        std::string message;
    };
    for (const auto& hostile :
         {HostileCase{fifo, -2, "Error reading file " + fifo + "\n"},
          HostileCase{zero, -2, "Error reading file " + zero + "\n"}, HostileCase{sparse, -4, undefinedMessage}}) {
        SCOPED_TRACE(hostile.path);
        EXPECT_EQ(fileExists(hostile.path.c_str()), 0);
        const auto result = readGuarded(hostile.path);
        EXPECT_EQ(result.code, hostile.code) << "1000: the read hung or ran out of memory";
        EXPECT_LT(result.millis, 1000);
        EXPECT_LT(result.maxRssKiB, 256 * 1024) << "read without bound";
        EXPECT_EQ(result.stderrText, hostile.message);
    }
}

// The status loop reads every pass: nothing may be cached between calls, and
// each failure is reported again.
TEST(AuthStatusFile, EveryCallReadsAfreshAndReportsAgain) {
    const TempDir dir;
    const std::string path = dir.file("Auth_status.txt");
    const std::string missing = "Error reading file " + path + "\n";
    struct Step {
        const char* content;  // nullptr: remove the file
        int code;
        std::string message;
    };
    for (const auto& step : {Step{"LongPress_started\n", 2, ""}, Step{"LongPress_started\n", 2, ""},
                             Step{"bogus\n", -4, undefinedMessage}, Step{"bogus\n", -4, undefinedMessage},
                             Step{nullptr, -2, missing}, Step{nullptr, -2, missing}, Step{"OFF\n", 0, ""}}) {
        SCOPED_TRACE(step.content == nullptr ? "<removed>" : step.content);
        if (step.content == nullptr) {
            std::filesystem::remove(path);
        } else {
            writeFile(path, step.content);
        }
        const auto result = readCapturing(path);
        EXPECT_EQ(result.code, step.code);
        EXPECT_EQ(result.stderrText, step.message);
    }
}

}  // namespace
}  // namespace glowkeeper::test
