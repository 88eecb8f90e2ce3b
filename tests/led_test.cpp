// LED drivers against real brightness files: FIFOs record every single write
// and its time, regular files show what a write leaves behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include "led/led.hpp"
#include "led/rgb_led.hpp"
#include "support/test_support.hpp"

namespace glowkeeper::test {
namespace {

using namespace std::chrono_literals;
using spdlog::level::debug;
using spdlog::level::err;

std::string contents(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// What the red, green and blue files of `dir` hold, in that order.
std::string channelContents(const TempDir& dir) {
    return contents(dir.file("red")) + contents(dir.file("green")) + contents(dir.file("blue"));
}

long long elapsedSince(Clock::time_point start) { return millisBetween(start, Clock::now()); }

// Sleeps never end early, so a gap is at least the phase less the reader's
// jitter; the upper bound leaves room for a loaded machine.
void expectGaps(const std::vector<Write>& writes, std::size_t count, long long phaseMs) {
    ASSERT_GE(writes.size(), count);
    for (std::size_t i = 1; i < count; ++i) {
        const long long gap = millisBetween(writes[i - 1].time, writes[i].time);
        EXPECT_GE(gap, phaseMs - 60) << "before write " << i;
        EXPECT_LE(gap, phaseMs + 150) << "before write " << i;
    }
}

// Nothing more arrives once a pattern is over. The writes made before the
// caller got control back are read first.
void expectQuiet(FifoRecorder& fifo) {
    std::this_thread::sleep_for(100ms);
    const std::size_t before = fifo.writes().size();
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(fifo.writes().size(), before) << fifo.values();
}

struct Rig {
    TempDir dir;
    std::shared_ptr<RecordingSink> sink;
    std::shared_ptr<spdlog::logger> logger = recordingLogger(sink);
};

struct RgbRig : Rig {
    FifoRecorder red{dir.file("red")}, green{dir.file("green")}, blue{dir.file("blue")};
    RgbLed led{red.path(), green.path(), blue.path(), logger};
};

TEST(LedPattern, FastFiniteBlinkWritesThreeCyclesOnTheCallersThread) {
    Rig rig;
    FifoRecorder fifo(rig.dir.file("brightness"));
    Led led(fifo.path(), rig.logger);
    const auto start = Clock::now();
    led.blink(1, 3);
    const long long took = elapsedSince(start);
    EXPECT_GE(took, 1190);
    EXPECT_LE(took, 1800);
    ASSERT_TRUE(fifo.waitForWrites(6, 500ms));
    EXPECT_EQ(fifo.values(), "101010");
    expectGaps(fifo.writes(), 6, 200);
    EXPECT_EQ(rig.sink->count(debug, "Blinking 3 times with interval 200ms"), 1U);
}

TEST(LedPattern, SlowIndefinitePatternIgnoresFurtherRequestsAndStopsWithinOneCycle) {
    Rig rig;
    FifoRecorder fifo(rig.dir.file("brightness"));
    Led led(fifo.path(), rig.logger);
    const auto start = Clock::now();
    led.blink(0, 0);
    led.blink(0, 0);
    led.blink(1, 0);
    EXPECT_LE(elapsedSince(start), 100);
    ASSERT_TRUE(fifo.waitForWrites(4, 3s));
    EXPECT_EQ(fifo.values().substr(0, 4), "1010");
    expectGaps(fifo.writes(), 4, 500);

    const auto fourth = fifo.writes()[3].time;
    led.reset();
    // The loop sleeps out its cycle (500 ms after the fourth write) first.
    EXPECT_GE(millisBetween(fourth, Clock::now()), 400);
    EXPECT_LE(millisBetween(fourth, Clock::now()), 1100);
    const auto again = Clock::now();
    led.reset();
    EXPECT_LE(elapsedSince(again), 100);
    expectQuiet(fifo);
    const std::string values = fifo.values();
    EXPECT_EQ(values.substr(values.size() - 3), "000") << values;
    EXPECT_EQ(rig.sink->count(debug, "Blinking indefinitely"), 1U);
    EXPECT_EQ(rig.sink->lines().size(), 1U);
}

TEST(LedPattern, FiniteRequestTakesOverFromAnIndefinitePattern) {
    Rig rig;
    FifoRecorder fifo(rig.dir.file("brightness"));
    Led led(fifo.path(), rig.logger);
    led.blink(0, 0);
    ASSERT_TRUE(fifo.waitForWrites(1, 1s));
    const auto cycleStart = fifo.writes()[0].time;
    const auto request = Clock::now();
    led.blink(1, 2);
    ASSERT_TRUE(fifo.waitForWrites(6, 500ms));
    expectQuiet(fifo);
    // Pattern 1, finite 1 at once, pattern 0, then the finite reset's 0 once
    // the running cycle is over, and the finite pattern alone.
    const auto writes = fifo.writes();
    EXPECT_EQ(fifo.values(), "110010");
    EXPECT_LE(millisBetween(request, writes[1].time), 100);
    EXPECT_GE(millisBetween(cycleStart, writes[3].time), 950);
    EXPECT_LE(millisBetween(cycleStart, writes[3].time), 1300);
    expectGaps({writes.begin() + 3, writes.end()}, 3, 200);
}

TEST(LedPattern, ResetWithoutPatternReturnsAtOnceAndWritesZeroEachTime) {
    Rig rig;
    FifoRecorder fifo(rig.dir.file("brightness"));
    FifoRecorder channels(rig.dir.file("rgb"));
    Led led(fifo.path(), rig.logger);
    RgbLed rgb(channels.path(), channels.path(), channels.path(), rig.logger);
    const auto start = Clock::now();
    led.reset();
    led.reset();
    rgb.reset();
    rgb.reset();
    EXPECT_LE(elapsedSince(start), 100);
    ASSERT_TRUE(fifo.waitForWrites(2, 500ms));
    ASSERT_TRUE(channels.waitForWrites(6, 500ms));
    EXPECT_EQ(fifo.values(), "00");
    EXPECT_EQ(channels.values(), "000000");
}

// The owner normally resets first; without that the driver still stops its
// thread instead of terminating the process.
template <typename Driver>
void expectDestructionStopsPattern(FifoRecorder& lit, std::optional<Driver>& driver) {
    ASSERT_TRUE(lit.waitForWrites(2, 1s));
    const auto begin = Clock::now();
    driver.reset();
    EXPECT_LE(elapsedSince(begin), 700);
    expectQuiet(lit);
    EXPECT_EQ(lit.values().back(), '0');
}

TEST(LedLifecycle, DestroyingLedWithRunningPatternStopsItsThread) {
    Rig rig;
    FifoRecorder fifo(rig.dir.file("brightness"));
    std::optional<Led> led(std::in_place, fifo.path(), rig.logger);
    led->blink(1, 0);
    expectDestructionStopsPattern(fifo, led);
}

TEST(LedLifecycle, DestroyingRgbLedWithRunningPatternStopsItsThread) {
    Rig rig;
    FifoRecorder red(rig.dir.file("red")), green(rig.dir.file("green")), blue(rig.dir.file("blue"));
    std::optional<RgbLed> led(std::in_place, red.path(), green.path(), blue.path(), rig.logger);
    led->blink(RgbLed::Red, 1, 0);
    expectDestructionStopsPattern(red, led);
}

TEST(RgbLedPattern, FiniteBlinkShowsTheColourAndEndsDark) {
    RgbRig rig;
    const auto start = Clock::now();
    rig.led.blink(RgbLed::Magenta, -1, 3);  // any nonzero value is fast
    const long long took = elapsedSince(start);
    EXPECT_GE(took, 1190);
    EXPECT_LE(took, 1800);
    ASSERT_TRUE(rig.blue.waitForWrites(6, 500ms));
    EXPECT_EQ(rig.red.values(), "101010");
    EXPECT_EQ(rig.green.values(), "000000");
    EXPECT_EQ(rig.blue.values(), "101010");
    expectGaps(rig.red.writes(), 6, 200);
    EXPECT_EQ(rig.sink->count(debug, "Blinking 3 times with interval 200ms"), 1U);
}

TEST(RgbLedPattern, IndefinitePatternKeepsItsColourUntilAFiniteOneTakesOver) {
    RgbRig rig;
    rig.led.blink(RgbLed::Blue, 0, 0);
    rig.led.blink(RgbLed::Red, 1, 0);  // ignored: a pattern runs
    ASSERT_TRUE(rig.blue.waitForWrites(3, 2s));
    EXPECT_EQ(rig.blue.values().substr(0, 3), "101");
    expectGaps(rig.blue.writes(), 3, 500);
    const auto request = Clock::now();
    rig.led.blink(RgbLed::Green, 1, 1);
    expectQuiet(rig.blue);
    // Green shows at once, then the blue cycle ends and everything is dark.
    ASSERT_TRUE(rig.green.waitForWrites(6, 100ms));
    EXPECT_EQ(rig.green.values(), "000100");
    EXPECT_LE(millisBetween(request, rig.green.writes()[3].time), 100);
    EXPECT_EQ(rig.red.values(), "000000");
    EXPECT_EQ(rig.blue.values(), "101000");
    EXPECT_EQ(rig.sink->count(debug, "Blinking indefinitely"), 1U);
    EXPECT_EQ(rig.sink->lines().size(), 2U);
}

struct ColourCase {
    const char* name;
    unsigned int color;
    const char* channels;  // red, green, blue
};

void PrintTo(const ColourCase& colour, std::ostream* out) { *out << colour.name; }

class RgbLedColour : public testing::TestWithParam<ColourCase> {};

// Regular files show which channel got which value; one FIFO behind all
// three paths shows the order of the writes.
TEST_P(RgbLedColour, WritesItsRowOfTheTableInRedGreenBlueOrder) {
    Rig rig;
    const auto color = static_cast<RgbLed::LedColor>(GetParam().color);
    const std::string expected = GetParam().channels;
    RgbLed files(rig.dir.file("red"), rig.dir.file("green"), rig.dir.file("blue"), rig.logger);
    files.setColor(color);
    EXPECT_EQ(channelContents(rig.dir), expected);
    FifoRecorder fifo(rig.dir.file("shared"));
    RgbLed shared(fifo.path(), fifo.path(), fifo.path(), rig.logger);
    shared.setColor(color);
    ASSERT_TRUE(fifo.waitForWrites(3, 500ms));
    EXPECT_EQ(fifo.values(), expected);
    EXPECT_TRUE(rig.sink->lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    AllColours, RgbLedColour,
    testing::Values(ColourCase{"Red", RgbLed::Red, "100"}, ColourCase{"Green", RgbLed::Green, "010"},
                    ColourCase{"Blue", RgbLed::Blue, "001"}, ColourCase{"Yellow", RgbLed::Yellow, "110"},
                    ColourCase{"Cyan", RgbLed::Cyan, "011"}, ColourCase{"Magenta", RgbLed::Magenta, "101"},
                    ColourCase{"White", RgbLed::White, "111"}),
    [](const auto& info) { return std::string(info.param.name); });

class RgbLedInvalidColour : public testing::TestWithParam<unsigned int> {};

TEST_P(RgbLedInvalidColour, WritesNothingAndLogsTheValueOncePerCall) {
    Rig rig;
    const std::string message = "Invalid color: " + std::to_string(GetParam());
    RgbLed led(rig.dir.file("red"), rig.dir.file("green"), rig.dir.file("blue"), rig.logger);
    led.setColor(static_cast<RgbLed::LedColor>(GetParam()));
    EXPECT_TRUE(std::filesystem::is_empty(rig.dir.path()));
    EXPECT_EQ(rig.sink->count(err, message), 1U);
    // Inside a pattern the dark phase still writes every channel.
    led.blink(static_cast<RgbLed::LedColor>(GetParam()), 1, 1);
    EXPECT_EQ(channelContents(rig.dir), "000");
    EXPECT_EQ(rig.sink->count(err, message), 2U);
}

INSTANTIATE_TEST_SUITE_P(OutOfTable, RgbLedInvalidColour, testing::Values(7U, 4294967295U));

TEST(LedFile, WriteLeavesExactlyOneDigit) {
    Rig rig;
    const std::string path = rig.dir.file("brightness");
    std::ofstream(path) << "255\n";
    Led led(path, rig.logger);
    led.on();
    EXPECT_EQ(contents(path), "1");
    led.off();
    EXPECT_EQ(contents(path), "0");
}

TEST(LedFile, UnopenablePathIsReportedOnEveryWriteWithoutBreakingThePattern) {
    Rig rig;
    const auto folder = rig.dir.path() / "KYT:LED1";
    const std::string path = (folder / "brightness").string();
    const std::string message = "Error opening file: " + path;
    Led led(path, rig.logger);
    led.on();
    led.off();
    EXPECT_EQ(rig.sink->count(err, message), 2U);
    const auto start = Clock::now();
    led.blink(1, 2);
    const long long took = elapsedSince(start);
    EXPECT_GE(took, 790);
    EXPECT_LE(took, 1400);
    EXPECT_EQ(rig.sink->count(err, message), 6U);
    EXPECT_EQ(rig.sink->lines().size(), 7U);  // the errors and the debug line
    // Nothing is remembered: once the folder exists the next write lands.
    std::filesystem::create_directory(folder);
    led.on();
    EXPECT_EQ(contents(path), "1");
    EXPECT_EQ(rig.sink->count(err, message), 6U);
}

TEST(RgbLedFile, MissingChannelIsReportedAndTheOthersAreStillWritten) {
    Rig rig;
    const std::string green = rig.dir.file("missing/brightness");
    RgbLed led(rig.dir.file("red"), green, rig.dir.file("blue"), rig.logger);
    led.setColor(RgbLed::White);
    EXPECT_EQ(contents(rig.dir.file("red")), "1");
    EXPECT_EQ(contents(rig.dir.file("blue")), "1");
    EXPECT_EQ(rig.sink->count(err, "Error opening file: " + green), 1U);
    EXPECT_EQ(rig.sink->lines().size(), 1U);
}

// Caps the address space just above what is mapped now: a new thread's 8 MiB
// stack no longer fits, small allocations still do.
bool capAddressSpace() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmSize:", 0) == 0) {
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
            limit.rlim_cur = std::stoull(line.substr(7)) * 1024 + (2U << 20);
            return setrlimit(RLIMIT_AS, &limit) == 0;
        }
    }
    return false;
}

enum ChildResult { Passed, NotLogged, WroteAnyway, NoRetry, NotDark, Threw, NoCap = 10, ThreadsStillStart };

ChildResult blinkWithoutThreads(const std::string& path) {
    std::shared_ptr<RecordingSink> sink;
    Led led(path, recordingLogger(sink));
    rlimit saved{};
    getrlimit(RLIMIT_AS, &saved);
    if (!capAddressSpace()) {
        return NoCap;
    }
    try {
        std::thread([] {}).join();
        return ThreadsStillStart;
    } catch (const std::system_error&) {
    }
    led.blink(1, 0);
    setrlimit(RLIMIT_AS, &saved);
    const auto lines = sink->lines();
    if (lines.size() != 2 || lines[1].level != err ||
        lines[1].message.rfind("Could not start blink thread: ", 0) != 0) {
        return NotLogged;
    }
    if (std::filesystem::exists(path)) {
        return WroteAnyway;
    }
    // Idle again: the next request starts a pattern without a reset first.
    led.blink(1, 0);
    if (sink->count(debug, "Blinking indefinitely") != 2 || !waitUntil([&] { return contents(path) == "1"; }, 1s)) {
        return NoRetry;
    }
    led.reset();
    return contents(path) == "0" ? Passed : NotDark;
}

// Runs in a forked child, so the cap stays there; alarm() turns a hang into
// a failure.
TEST(LedLifecycle, BlinkThreadThatCannotStartIsLoggedAndLeavesTheDriverIdle) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer maps more than an address-space cap allows";
#endif
    TempDir dir;
    const std::string path = dir.file("brightness");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(10);
        try {
            _exit(blinkWithoutThreads(path));
        } catch (...) {
            _exit(Threw);
        }
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) >= NoCap) {
        GTEST_SKIP() << "thread creation could not be made to fail (" << WEXITSTATUS(status) << ")";
    }
    EXPECT_EQ(WEXITSTATUS(status), Passed) << "1 not logged, 2 wrote, 3 not retried, 4 not dark, 5 threw";
}

}  // namespace
}  // namespace glowkeeper::test
