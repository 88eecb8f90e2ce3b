// Feeds arbitrary first bytes of the authentication file to the parser.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "status/auth_status.hpp"

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)glowkeeper::parseAuthStatus(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
