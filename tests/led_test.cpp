// LED drivers against real brightness files: FIFOs record every single write
// and its time, regular files show what a write leaves behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>

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
template <typename... Fifos>
void expectQuiet(Fifos&... fifos) {
    std::this_thread::sleep_for(100ms);
    const std::array before{fifos.writes().size()...};
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ((std::array{fifos.writes().size()...}), before);
}

// Runs `action` and checks how long it kept the caller.
void expectBlocks(long long minMs, long long maxMs, const std::function<void()>& action) {
    const auto start = Clock::now();
    action();
    const long long took = millisBetween(start, Clock::now());
    EXPECT_GE(took, minMs);
    EXPECT_LE(took, maxMs);
}

struct Rig {
    TempDir dir;
    std::shared_ptr<RecordingSink> sink;
    std::shared_ptr<spdlog::logger> logger = recordingLogger(sink);
};

TEST(LedPattern, FastFiniteBlinkWritesThreeCyclesOnTheCallersThread) {
    Rig rig;
    FifoRecorder fifo(rig.dir.file("brightness"));
    Led led(fifo.path(), rig.logger);
    expectBlocks(1190, 1800, [&] { led.blink(-1, 3); });  // any nonzero value is fast
    ASSERT_TRUE(fifo.waitForWrites(6, 500ms));
    EXPECT_EQ(fifo.values(), "101010");
    expectGaps(fifo.writes(), 6, 200);
    EXPECT_EQ(rig.sink->count(debug, "Blinking 3 times with interval 200ms"), 1U);
}

TEST(LedPattern, SlowIndefinitePatternIgnoresFurtherRequestsAndStopsWithinOneCycle) {
    Rig rig;
    FifoRecorder fifo(rig.dir.file("brightness"));
    Led led(fifo.path(), rig.logger);
    // The first request starts the pattern, the others change nothing.
    expectBlocks(0, 100, [&] {
        led.blink(0, 0);
        led.blink(0, 0);
        led.blink(1, 0);
    });
    ASSERT_TRUE(fifo.waitForWrites(4, 3s));
    EXPECT_EQ(fifo.values().substr(0, 4), "1010");
    expectGaps(fifo.writes(), 4, 500);

    const auto fourth = fifo.writes()[3].time;
    led.reset();
    // The loop sleeps out its cycle (500 ms after the fourth write) first.
    EXPECT_GE(millisBetween(fourth, Clock::now()), 400);
    EXPECT_LE(millisBetween(fourth, Clock::now()), 1100);
    expectBlocks(0, 100, [&] { led.reset(); });  // nothing runs any more
    expectQuiet(fifo);
    const std::string values = fifo.values();
    EXPECT_EQ(values.substr(values.size() - 3), "000") << values;
    EXPECT_EQ(rig.sink->count(debug, "Blinking indefinitely"), 1U);
    EXPECT_EQ(rig.sink->lines().size(), 1U);
}

TEST(RgbLedPattern, IndefinitePatternKeepsItsColourUntilAFiniteOneTakesOver) {
    Rig rig;
    FifoRecorder red(rig.dir.file("red")), green(rig.dir.file("green")), blue(rig.dir.file("blue"));
    RgbLed led(red.path(), green.path(), blue.path(), rig.logger);
    led.blink(RgbLed::Blue, 0, 0);
    led.blink(RgbLed::Red, 1, 0);  // ignored: a pattern runs
    ASSERT_TRUE(blue.waitForWrites(3, 2s));
    EXPECT_EQ(blue.values().substr(0, 3), "101");
    expectGaps(blue.writes(), 3, 500);
    const auto cycleStart = blue.writes()[2].time;
    const auto request = Clock::now();
    led.blink(RgbLed::Green, 1, 1);
    expectQuiet(red, green, blue);
    // Green shows at once; the finite reset waits for the blue cycle to end,
    // then everything is dark.
    ASSERT_TRUE(green.waitForWrites(6, 100ms));
    EXPECT_EQ(green.values(), "000100");
    EXPECT_LE(millisBetween(request, green.writes()[3].time), 100);
    EXPECT_EQ(red.values(), "000000");
    ASSERT_EQ(blue.values(), "101000");
    EXPECT_GE(millisBetween(cycleStart, blue.writes()[5].time), 950);
    EXPECT_LE(millisBetween(cycleStart, blue.writes()[5].time), 1300);
    EXPECT_EQ(rig.sink->count(debug, "Blinking indefinitely"), 1U);
    EXPECT_EQ(rig.sink->lines().size(), 2U);
}

// The owner normally resets first; without that the driver still stops its
// thread instead of terminating the process.
TEST(LedLifecycle, DestroyingADriverWithARunningPatternStopsItsThread) {
    Rig rig;
    FifoRecorder single(rig.dir.file("brightness")), red(rig.dir.file("red"));
    Clock::time_point begin;
    {
        Led led(single.path(), rig.logger);
        RgbLed rgb(red.path(), rig.dir.file("green"), rig.dir.file("blue"), rig.logger);
        led.blink(1, 0);
        rgb.blink(RgbLed::Red, 1, 0);
        ASSERT_TRUE(single.waitForWrites(2, 1s));
        ASSERT_TRUE(red.waitForWrites(2, 1s));
        begin = Clock::now();
    }
    EXPECT_LE(millisBetween(begin, Clock::now()), 1000);
    expectQuiet(single, red);
    EXPECT_EQ(single.values().back(), '0');
    EXPECT_EQ(red.values().back(), '0');
}

// Regular files show which channel got which value; one FIFO behind all
// three paths shows the order of the writes. The status loop passes colours
// as integers, so the rows are indexed by number: Red, Green, Blue, Yellow,
// Cyan, Magenta, White.
TEST(RgbLedColour, EachColourWritesItsRowInRedGreenBlueOrder) {
    const std::array<std::string, 7> rows{"100", "010", "001", "110", "011", "101", "111"};
    for (unsigned int color = 0; color < rows.size(); ++color) {
        SCOPED_TRACE(color);
        Rig rig;
        RgbLed files(rig.dir.file("red"), rig.dir.file("green"), rig.dir.file("blue"), rig.logger);
        files.setColor(static_cast<RgbLed::LedColor>(color));
        EXPECT_EQ(channelContents(rig.dir), rows[color]);
        FifoRecorder fifo(rig.dir.file("shared"));
        RgbLed shared(fifo.path(), fifo.path(), fifo.path(), rig.logger);
        shared.setColor(static_cast<RgbLed::LedColor>(color));
        ASSERT_TRUE(fifo.waitForWrites(3, 500ms));
        EXPECT_EQ(fifo.values(), rows[color]);
    }
}

TEST(RgbLedColour, InvalidValueWritesNothingAndIsLoggedOncePerCall) {
    for (const unsigned int value : {7U, 4294967295U}) {
        SCOPED_TRACE(value);
        Rig rig;
        const auto color = static_cast<RgbLed::LedColor>(value);
        const std::string message = "Invalid color: " + std::to_string(value);
        RgbLed led(rig.dir.file("red"), rig.dir.file("green"), rig.dir.file("blue"), rig.logger);
        led.setColor(color);
        EXPECT_TRUE(std::filesystem::is_empty(rig.dir.path()));
        EXPECT_EQ(rig.sink->count(err, message), 1U);
        // Inside a pattern the dark phase still writes every channel.
        led.blink(color, 1, 1);
        EXPECT_EQ(channelContents(rig.dir), "000");
        EXPECT_EQ(rig.sink->count(err, message), 2U);
    }
}

TEST(LedFile, UnopenablePathIsReportedOnEveryWriteAndAWriteLeavesOneDigit) {
    Rig rig;
    const auto folder = rig.dir.path() / "KYT:LED1";
    const std::string path = (folder / "brightness").string();
    const std::string message = "Error opening file: " + path;
    Led led(path, rig.logger);
    expectBlocks(790, 1400, [&] { led.blink(1, 2); });  // the pattern keeps its timing
    EXPECT_EQ(rig.sink->count(err, message), 4U);
    EXPECT_EQ(rig.sink->lines().size(), 5U);  // the errors and the debug line
    // Nothing is remembered: once the file exists the next write replaces
    // whatever it held.
    std::filesystem::create_directory(folder);
    std::ofstream(path) << "255\n";
    led.on();
    EXPECT_EQ(contents(path), "1");
    led.off();
    EXPECT_EQ(contents(path), "0");
    EXPECT_EQ(rig.sink->count(err, message), 4U);
}

// Exit codes of the child below; 10 and up mean the cap does not work here.
enum ChildResult { Passed, NotLogged, NoRetry, Threw, NoCap = 10 };

// Caps the address space just above what is mapped now: a new thread's 8 MiB
// stack no longer fits, small allocations still do.
ChildResult blinkWithoutThreads(const std::string& path) {
    std::shared_ptr<RecordingSink> sink;
    Led led(path, recordingLogger(sink));
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit saved{};
    getrlimit(RLIMIT_AS, &saved);
    rlimit capped = saved;
    capped.rlim_cur = pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) + (2U << 20);
    if (pages == 0 || setrlimit(RLIMIT_AS, &capped) != 0) {
        return NoCap;
    }
    try {
        std::thread([] {}).join();
        return NoCap;  // threads still start
    } catch (const std::system_error&) {
    }
    led.blink(1, 0);
    setrlimit(RLIMIT_AS, &saved);
    const auto lines = sink->lines();
    if (lines.size() != 2 || lines[1].level != err || !lines[1].message.starts_with("Could not start blink thread: ") ||
        std::filesystem::exists(path)) {
        return NotLogged;
    }
    // Idle again: the next request starts a pattern without a reset first.
    led.blink(1, 0);
    const bool started =
        sink->count(debug, "Blinking indefinitely") == 2 && waitUntil([&] { return contents(path) == "1"; }, 1s);
    led.reset();
    return started && contents(path) == "0" ? Passed : NoRetry;
}

// Runs in a forked child, so the cap stays there; alarm() turns a hang into
// a failure.
TEST(LedLifecycle, BlinkThreadThatCannotStartIsLoggedAndLeavesTheDriverIdle) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer maps more than an address-space cap allows";
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
    EXPECT_EQ(WEXITSTATUS(status), Passed) << "1 not logged alone or wrote, 2 not idle afterwards, 3 threw";
}

}  // namespace
}  // namespace glowkeeper::test
