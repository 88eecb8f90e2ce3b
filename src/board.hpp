// The board the daemon drives: the LEDs it writes, the services it watches
// and the address its probe connects to. Porting to another gateway starts
// here; scripts/check-board.py holds the unit's write access, the udev rule
// and the simulator to these names.
#pragma once

#include <array>

namespace glowkeeper::board {

// Brightness files of the LED class: the single LED, then the RGB LED's channels.
inline constexpr const char* singleLedPath = "/sys/class/leds/KYT:LED1/brightness";
inline constexpr const char* redChannelPath = "/sys/class/leds/KYT:RGBLED1.1/brightness";
inline constexpr const char* greenChannelPath = "/sys/class/leds/KYT:RGBLED1.2/brightness";
inline constexpr const char* blueChannelPath = "/sys/class/leds/KYT:RGBLED1.3/brightness";

// Unit names without ".service". A service's place sets its number of red
// flashes when it is down: two, three, four.
inline constexpr std::array<const char*, 3> services = {"tiviad", "pelmad", "mender-client"};

// A public DNS resolver: a TCP connect to its port 53 tells reachability
// without sending a query.
inline constexpr const char* probeAddress = "8.8.8.8";
inline constexpr unsigned short probePort = 53;

}  // namespace glowkeeper::board
