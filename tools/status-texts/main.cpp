// Prints every text the status line can hold, one "GROUP<TAB>text" a line,
// from the code that words it: the man page's table is made from this.
#include "policy/display.hpp"
#include "status/service_check.hpp"

#include <cstdio>
#include <string>

namespace {

void print(const char* group, const std::string& text) { std::printf("%s\t%s\n", group, text.c_str()); }

}  // namespace

int main() {
    using namespace glowkeeper;
    for (const InternetDisplay display :
         {InternetDisplay::Reachable, InternetDisplay::Unreachable, InternetDisplay::Failing}) {
        print("internet", statusText(display));
    }
    for (const AuthState state : {AuthState::RegistrationPossible, AuthState::LongPressStarted,
                                  AuthState::LongPressFailed, AuthState::LongPressSuccess}) {
        print("authentication", statusText(*authDisplay(state)));
    }
    for (const UpdateStatus status : {UpdateStatus::Downloading, UpdateStatus::Installing, UpdateStatus::Failed}) {
        print("update", statusText(statusDisplay(0, status)));
    }
    print("update", statusText(statusDisplay(0, UpdateStatus::Idle, UpdateFailure{0, 12 * 60 + 57}, 0)));
    for (std::size_t bit = 0; bit < monitoredServices.size(); ++bit) {
        print("services", statusText(statusDisplay(1 << bit, UpdateStatus::Idle)));
    }
    print("services", statusText(statusDisplay(0, UpdateStatus::Idle)));
    print("several", statusText(statusDisplay(6, UpdateStatus::Idle)));
    for (const FollowerState state : {FollowerState::Ended, FollowerState::CouldNotStart}) {
        print("follower", statusText(state));
    }
    return 0;
}
