#include "policy/display.hpp"

#include "status/service_check.hpp"

#include <array>
#include <bit>
#include <cstdio>
#include <vector>

namespace glowkeeper {

namespace {

constexpr std::array<const char*, 7> colorNames = {"red", "green", "blue", "yellow", "cyan", "magenta", "white"};

std::string patternText(RgbPattern pattern) {
    const std::string color = colorNames.at(pattern.color);
    if (pattern.kind == RgbPattern::Solid) {
        return "solid " + color;
    }
    return pattern.times == 0 ? "slow " + color : std::to_string(pattern.times) + " " + color + " flashes";
}

// Every failed service is named; the lowest one decides the flashes.
std::string failedServicesText(int failedServices) {
    std::vector<std::string> names;
    for (std::size_t bit = 0; bit < monitoredServices.size(); ++bit) {
        if ((failedServices & (1 << bit)) != 0) {
            names.push_back(monitoredServices[bit]);
        }
    }
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return text + " not running";
}

std::string reasonText(RgbDisplay display) {
    switch (display.reason) {
        case RgbReason::RegistrationPossible:
            return "registration possible";
        case RgbReason::LongPressStarted:
            return "long press started";
        case RgbReason::LongPressFailed:
            return "long press failed";
        case RgbReason::LongPressSucceeded:
            return "long press succeeded";
        case RgbReason::UpdateDownloading:
            return "update downloading";
        case RgbReason::UpdateInstalling:
            return "update installing";
        case RgbReason::UpdateFailed:
            if (display.failedAtMinute >= 0) {
                char clock[8];
                (void)std::snprintf(clock, sizeof(clock), "%02d:%02d", display.failedAtMinute / 60 % 24,
                                    display.failedAtMinute % 60);
                return std::string("update failed at ") + clock;
            }
            return "update failed";
        case RgbReason::ServicesFailed:
            return failedServicesText(display.failedServices);
        case RgbReason::ServicesRunning:
            break;
    }
    return "all services running";
}

}  // namespace

InternetDisplay internetDisplay(int probeResult) {
    if (probeResult > 0) {
        return InternetDisplay::Reachable;
    }
    return probeResult == 0 ? InternetDisplay::Unreachable : InternetDisplay::Failing;
}

std::optional<RgbDisplay> authDisplay(AuthState state) {
    switch (state) {
        case AuthState::RegistrationPossible:
            return RgbDisplay{RgbReason::RegistrationPossible};
        case AuthState::LongPressStarted:
            return RgbDisplay{RgbReason::LongPressStarted};
        case AuthState::LongPressFailed:
            return RgbDisplay{RgbReason::LongPressFailed};
        case AuthState::LongPressSuccess:
            return RgbDisplay{RgbReason::LongPressSucceeded};
        default:
            return std::nullopt;
    }
}

bool failureHold(UpdateFailure failure, std::int32_t nowSecond) {
    return failure.recorded() && nowSecond - failure.atSecond < failureHoldSeconds;
}

RgbDisplay statusDisplay(int failedServices, UpdateStatus update, UpdateFailure failure, std::int32_t nowSecond) {
    if (failureHold(failure, nowSecond)) {
        return {RgbReason::UpdateFailed, 0, failure.minuteOfDay};
    }
    switch (update) {
        case UpdateStatus::Downloading:
            return {RgbReason::UpdateDownloading};
        case UpdateStatus::Installing:
            return {RgbReason::UpdateInstalling};
        case UpdateStatus::Failed:
            return {RgbReason::UpdateFailed};
        case UpdateStatus::Unknown:
        case UpdateStatus::Idle:
            break;
    }
    if (failedServices != 0) {
        return {RgbReason::ServicesFailed, static_cast<std::int8_t>(failedServices)};
    }
    return {RgbReason::ServicesRunning};
}

RgbPattern patternOf(RgbDisplay display) {
    switch (display.reason) {
        case RgbReason::RegistrationPossible:
            return {RgbPattern::Blink, RgbLed::Blue, 0, 0};
        case RgbReason::LongPressStarted:
            return {RgbPattern::Solid, RgbLed::Blue};
        case RgbReason::LongPressFailed:
            return {RgbPattern::Blink, RgbLed::Red, 1, 3};
        case RgbReason::LongPressSucceeded:
            return {RgbPattern::Blink, RgbLed::Blue, 1, 3};
        case RgbReason::UpdateDownloading:
            return {RgbPattern::Blink, RgbLed::White, 1, 3};
        case RgbReason::UpdateInstalling:
            return {RgbPattern::Blink, RgbLed::White, 1, 4};
        case RgbReason::UpdateFailed:
            return {RgbPattern::Solid, RgbLed::Red};
        case RgbReason::ServicesFailed: {
            // Two flashes for the first service, one more for each after it.
            const auto lowest = std::countr_zero(static_cast<std::uint8_t>(display.failedServices));
            return {RgbPattern::Blink, RgbLed::Red, 1, static_cast<unsigned int>(lowest) + 2};
        }
        case RgbReason::ServicesRunning:
            break;
    }
    return {RgbPattern::Solid, RgbLed::Green};
}

void show(Led* led, InternetDisplay display) {
    switch (display) {
        case InternetDisplay::Failing:
            led->blink(1, 3);
            break;
        case InternetDisplay::Unreachable:
            led->reset();
            break;
        case InternetDisplay::Reachable:
            led->on();
            break;
    }
}

void show(RgbLed* led, RgbDisplay display) {
    const RgbPattern pattern = patternOf(display);
    if (pattern.kind == RgbPattern::Solid) {
        led->setColor(pattern.color);
    } else {
        led->blink(pattern.color, pattern.fast, pattern.times);
    }
}

std::string statusText(InternetDisplay display) {
    switch (display) {
        case InternetDisplay::Failing:
            return "internet check failing";
        case InternetDisplay::Unreachable:
            return "internet unreachable";
        case InternetDisplay::Reachable:
            break;
    }
    return "internet reachable";
}

std::string statusText(RgbDisplay display) { return patternText(patternOf(display)) + ", " + reasonText(display); }

std::string statusText(FollowerState follower) {
    switch (follower) {
        case FollowerState::Ended:
            return "update state unknown: journal follower ended";
        case FollowerState::CouldNotStart:
            return "update state unknown: journal follower could not start";
        case FollowerState::Starting:
        case FollowerState::Following:
            break;
    }
    return "";
}

std::string statusLine(InternetDisplay internet, RgbDisplay rgb, FollowerState follower) {
    std::string line = statusText(internet) + " · RGB: " + statusText(rgb);
    const std::string updateText = statusText(follower);
    return updateText.empty() ? line : line + " · " + updateText;
}

}  // namespace glowkeeper
