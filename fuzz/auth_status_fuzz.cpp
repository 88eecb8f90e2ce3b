// Feeds arbitrary first bytes of the authentication file to the parser.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "status/auth_status.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto state = glowkeeper::parseAuthStatus(bytes);
    // Whatever follows the first newline never changes the answer.
    if (bytes.find('\n') != std::string_view::npos &&
        glowkeeper::parseAuthStatus(bytes.substr(0, bytes.find('\n'))) != state) {
        __builtin_trap();
    }
    return 0;
}
