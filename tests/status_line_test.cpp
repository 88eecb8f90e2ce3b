// One value decides what the RGB LED shows and what the status line says:
// for every row of the LED tables, the pattern and the words agree.
#include "policy/display.hpp"
#include "support/test_support.hpp"

namespace glowkeeper::test {

TEST(Display, PatternAndTextComeFromOneDecision) {
    using P = RgbPattern;
    using U = UpdateStatus;
    using A = AuthState;
    using L = RgbLed;
    const std::vector<std::tuple<std::optional<RgbDisplay>, RgbPattern, std::string>> rows{
        {authDisplay(A::RegistrationPossible), {P::Blink, L::Blue, 0, 0}, "slow blue, registration possible"},
        {authDisplay(A::LongPressStarted), {P::Solid, L::Blue}, "solid blue, long press started"},
        {authDisplay(A::LongPressFailed), {P::Blink, L::Red, 1, 3}, "3 red flashes, long press failed"},
        {authDisplay(A::LongPressSuccess), {P::Blink, L::Blue, 1, 3}, "3 blue flashes, long press succeeded"},
        {statusDisplay(0, U::Downloading), {P::Blink, L::White, 1, 3}, "3 white flashes, update downloading"},
        {statusDisplay(5, U::Installing), {P::Blink, L::White, 1, 4}, "4 white flashes, update installing"},
        {statusDisplay(7, U::Failed), {P::Solid, L::Red}, "solid red, update failed"},
        {statusDisplay(1, U::Idle), {P::Blink, L::Red, 1, 2}, "2 red flashes, tiviad not running"},
        {statusDisplay(2, U::Unknown), {P::Blink, L::Red, 1, 3}, "3 red flashes, pelmad not running"},
        {statusDisplay(4, U::Idle), {P::Blink, L::Red, 1, 4}, "4 red flashes, mender-client not running"},
        {statusDisplay(6, U::Idle), {P::Blink, L::Red, 1, 3}, "3 red flashes, pelmad and mender-client not running"},
        {statusDisplay(7, U::Idle),
         {P::Blink, L::Red, 1, 2},
         "2 red flashes, tiviad, pelmad and mender-client not running"},
        {statusDisplay(0, U::Unknown), {P::Solid, L::Green}, "solid green, all services running"},
    };
    for (const auto& [display, pattern, text] : rows) {
        EXPECT_EQ(patternOf(display.value()), pattern) << text;
        EXPECT_EQ(statusText(display.value()), text);
    }
}

// A failure recorded at second 1000 holds solid red, over the update status
// that the client's tail leaves and over failed services, for 30 minutes.
TEST(Display, AFailureHoldsForHalfAnHourThenTheLatestStatusShows) {
    const UpdateFailure failure{1000, 7 * 60 + 5};
    const std::vector<std::tuple<std::int32_t, UpdateStatus, int, std::string>> rows{
        {1000, UpdateStatus::Idle, 0, "solid red, update failed at 07:05"},
        {1000 + 1799, UpdateStatus::Installing, 2, "solid red, update failed at 07:05"},
        {1000 + 1800, UpdateStatus::Idle, 2, "3 red flashes, pelmad not running"},
        {1000 + 1800, UpdateStatus::Installing, 0, "4 white flashes, update installing"},
        {1000 + 1800, UpdateStatus::Failed, 0, "solid red, update failed"},
    };
    for (const auto& [now, update, failed, text] : rows) {
        EXPECT_EQ(statusText(statusDisplay(failed, update, failure, now)), text) << now;
        EXPECT_EQ(statusDisplay(failed, update, UpdateFailure{}, now), statusDisplay(failed, update))
            << "no failure held";
    }
    EXPECT_EQ(statusText(statusDisplay(0, UpdateStatus::Idle, UpdateFailure{}, 1000)),
              "solid green, all services running");
}

TEST(Display, StatusLineJoinsBothLedsAndAFollowerThatStopped) {
    const std::string line = "internet check failing · RGB: solid green, all services running";
    const RgbDisplay green = statusDisplay(0, UpdateStatus::Idle);
    EXPECT_EQ(statusLine(internetDisplay(-1), green, FollowerState::Following), line);
    EXPECT_EQ(statusLine(internetDisplay(-1), green, FollowerState::CouldNotStart),
              line + " · update state unknown: journal follower could not start");
}

}  // namespace glowkeeper::test
