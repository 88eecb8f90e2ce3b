// The local authentication procedure, published by another process as one
// word on the first line of a file in /tmp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace glowkeeper {

// Codes 0 to 4 are the five words; both failures lie outside that range.
enum class AuthState : std::int32_t {
    Off = 0,
    RegistrationPossible = 1,
    LongPressStarted = 2,
    LongPressFailed = 3,
    LongPressSuccess = 4,
    ReadError = -2,
    UndefinedState = -4,
};

extern const std::unordered_map<std::string, int> authStateTable;

// 0 when the path exists (access F_OK), else -1.
int fileExists(const char* path);
// The code of the file's first line; ReadError when the file cannot be opened
// as a regular file, UndefinedState when the line is no known word.
AuthState readAuthStatus(const char* path);
// The code of the word before the first newline of `firstBytes`, else
// UndefinedState; what readAuthStatus applies to the bytes it read.
AuthState parseAuthStatus(std::string_view firstBytes);

}  // namespace glowkeeper
