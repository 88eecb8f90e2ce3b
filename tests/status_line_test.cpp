// The status line of `systemctl status`: precedence and service naming that
// the VM test does not reach (two services down, an update beside failures).
#include "app/supervisor.hpp"
#include "support/test_support.hpp"

namespace glowkeeper::test {

TEST(StatusLine, NamesWhatDecidesEachLed) {
    struct Case {
        int internet;
        RgbShown rgb;
        std::string rgbText;
    };
    const std::vector<Case> cases{
        {1, {0, 0, -1}, "solid green, all services running"},
        {-1, {0, 0, 0}, "solid green, all services running"},
        {0, {0, 6, 0}, "3 red flashes, pelmad and mender-client not running"},
        {0, {0, 7, -1}, "2 red flashes, tiviad, pelmad and mender-client not running"},
        {0, {0, 1, 3}, "4 white flashes, update installing"},
        {0, {0, 5, 99}, "solid red, update failed"},
        {0, {1, 0, -1}, "slow blue, registration possible"},
        {0, {4, 0, -1}, "3 blue flashes, long press succeeded"},
    };
    const std::vector<std::string> internet{"internet check failing", "internet unreachable", "internet reachable"};
    for (const Case& c : cases) {
        EXPECT_EQ(statusLine(c.internet, c.rgb), internet[c.internet + 1] + " · RGB: " + c.rgbText);
    }
}

}  // namespace glowkeeper::test
