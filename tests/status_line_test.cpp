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
    for (const AuthState state : {AuthState::Off, AuthState::ReadError, AuthState::UndefinedState}) {
        EXPECT_FALSE(authDisplay(state).has_value()) << "the status display decides for " << static_cast<int>(state);
    }
}

TEST(Display, StatusLineJoinsBothLedsAndAFollowerThatStopped) {
    const RgbDisplay green = statusDisplay(0, UpdateStatus::Idle);
    const std::string rgb = " · RGB: solid green, all services running";
    EXPECT_EQ(statusLine(internetDisplay(0), green, FollowerState::Following), "internet unreachable" + rgb);
    EXPECT_EQ(statusLine(internetDisplay(1), green, FollowerState::Ended),
              "internet reachable" + rgb + " · update state unknown: journal follower ended");
    EXPECT_EQ(statusLine(internetDisplay(-1), green, FollowerState::CouldNotStart),
              "internet check failing" + rgb + " · update state unknown: journal follower could not start");
}

}  // namespace glowkeeper::test
