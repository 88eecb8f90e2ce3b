// Feeds arbitrary journal chunks to the transition matcher, cut at the first
// NUL as the monitor's fgets buffer is.
#include <cstddef>
#include <cstdint>
#include <string>

#include "status/update_monitor.hpp"

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string chunk(reinterpret_cast<const char*>(data), size);
    glowkeeper::matchTransitions(chunk.c_str(), [](const glowkeeper::Transition& /*transition*/) {});
    return 0;
}
