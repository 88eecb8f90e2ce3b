// LED drivers against real brightness files: FIFOs record every single write
// and its time, regular files show what a write leaves behind.
#include <array>

#include "led/led.hpp"
#include "led/rgb_led.hpp"
#include "support/test_support.hpp"

namespace glowkeeper::test {

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

struct Rig {
    TempDir dir;
    std::ostringstream log;
    std::shared_ptr<spdlog::logger> logger = stringLogger(log);
};

TEST(LedPattern, FastFiniteBlinkWritesThreeCyclesOnTheCallersThread) {
    Rig rig;
    FifoRecorder fifo(rig.dir.file("brightness"));
    Led led(fifo.path, rig.logger);
    const long long took = millisOf([&] { led.blink(-1, 3); });  // any nonzero value is fast
    EXPECT_TRUE(took >= 1190 && took <= 1800) << took;
    ASSERT_TRUE(fifo.waitForWrites(6, 500ms));
    EXPECT_EQ(fifo.values(), "101010");
    expectGaps(fifo.writes(), 6, 200);
    EXPECT_EQ(rig.log.str(), "debug Blinking 3 times with interval 200ms\n");
}

TEST(LedPattern, SlowIndefinitePatternIgnoresFurtherRequestsAndStopsWithinOneCycle) {
    Rig rig;
    FifoRecorder fifo(rig.dir.file("brightness"));
    Led led(fifo.path, rig.logger);
    // The first request starts the pattern, the others change nothing.
    EXPECT_LE(millisOf([&] { led.blink(0, 0), led.blink(0, 0), led.blink(1, 0); }), 100);
    ASSERT_TRUE(fifo.waitForWrites(4, 3s));
    EXPECT_EQ(fifo.values().substr(0, 4), "1010");
    expectGaps(fifo.writes(), 4, 500);
    // The loop sleeps out its cycle (500 ms after the fourth write) first.
    led.reset();
    const long long stopped = millisBetween(fifo.writes()[3].time, Clock::now());
    EXPECT_TRUE(stopped >= 400 && stopped <= 1100) << stopped;
    EXPECT_LE(millisOf([&] { led.reset(); }), 100);  // nothing runs any more
    std::this_thread::sleep_for(100ms);
    const std::string values = fifo.values();
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(fifo.values(), values) << "written after the reset";
    EXPECT_EQ(values.substr(values.size() - 3), "000") << values;
    EXPECT_EQ(rig.log.str(), "debug Blinking indefinitely\n");
}

TEST(RgbLedPattern, IndefinitePatternKeepsItsColourUntilAFiniteOneTakesOver) {
    Rig rig;
    FifoRecorder red(rig.dir.file("red")), green(rig.dir.file("green")), blue(rig.dir.file("blue"));
    RgbLed led(red.path, green.path, blue.path, rig.logger);
    led.blink(RgbLed::Blue, 0, 0);
    led.blink(RgbLed::Red, 1, 0);  // ignored: a pattern runs
    ASSERT_TRUE(blue.waitForWrites(3, 2s));
    EXPECT_EQ(blue.values().substr(0, 3), "101");
    expectGaps(blue.writes(), 3, 500);
    const auto cycleStart = blue.writes()[2].time;
    const auto request = Clock::now();
    led.blink(RgbLed::Green, 1, 1);
    std::this_thread::sleep_for(700ms);
    // Green shows at once; the finite reset waits for the blue cycle to end,
    // then everything is dark.
    EXPECT_EQ(green.values(), "000100");
    EXPECT_EQ(red.values(), "000000");
    ASSERT_EQ(blue.values(), "101000");
    EXPECT_LE(millisBetween(request, green.writes()[3].time), 100);
    const long long reset = millisBetween(cycleStart, blue.writes()[5].time);
    EXPECT_TRUE(reset >= 950 && reset <= 1300) << reset;
    EXPECT_EQ(rig.log.str(), "debug Blinking indefinitely\ndebug Blinking 1 times with interval 200ms\n");
}

// One FIFO behind all three paths shows the values in write order. The
// status loop passes colours as integers: Red, Green, Blue, Yellow, Cyan,
// Magenta, White; anything else writes nothing and is logged every time.
TEST(RgbLedColour, EachColourWritesItsRowInRedGreenBlueOrder) {
    const std::array<std::string, 9> rows{"100", "010", "001", "110", "011", "101", "111", "", ""};
    for (const unsigned int color : {0U, 1U, 2U, 3U, 4U, 5U, 6U, 7U, 4294967295U}) {
        SCOPED_TRACE(color);
        Rig rig;
        FifoRecorder fifo(rig.dir.file("shared"));
        RgbLed(fifo.path, fifo.path, fifo.path, rig.logger).setColor(static_cast<RgbLed::LedColor>(color));
        const std::string& row = rows.at(std::min(color, 8U));
        EXPECT_EQ(fifo.waitForWrites(3, 300ms), !row.empty());
        EXPECT_EQ(fifo.values(), row);
        EXPECT_EQ(rig.log.str(), row.empty() ? "error Invalid color: " + std::to_string(color) + "\n" : "");
    }
}

// Each write opens the file anew: an unopenable path is reported every
// time, and a write replaces whatever the file held.
TEST(LedFile, UnopenablePathIsReportedOnEveryWriteAndAWriteLeavesOneDigit) {
    Rig rig;
    const std::string path = rig.dir.file("KYT:LED1/brightness");
    const std::string error = "error Error opening file: " + path + "\n";
    Led led(path, rig.logger);
    EXPECT_GE(millisOf([&] { led.blink(1, 2); }), 790);  // the pattern keeps its timing
    EXPECT_EQ(rig.log.str(), "debug Blinking 2 times with interval 200ms\n" + error + error + error + error);
    std::filesystem::create_directory(rig.dir.file("KYT:LED1"));
    std::ofstream(path) << "255\n";
    led.on();
    EXPECT_EQ(std::ifstream(path).rdbuf()->sgetc(), '1');
    EXPECT_EQ(std::filesystem::file_size(path), 1U);
    led.off();
    EXPECT_EQ(std::ifstream(path).rdbuf()->sgetc(), '0');
}

}  // namespace glowkeeper::test
