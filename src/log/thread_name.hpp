// Thread names for `ps -T`, `top -H` and the soak test, which tells the
// fixed threads from the blink threads that come and go with the patterns.
#pragma once

#include <pthread.h>

#include <thread>

namespace glowkeeper {

// The kernel keeps 15 characters. A name that cannot be set changes nothing
// else, so the result is ignored.
inline void nameThread(std::thread& thread, const char* name) {
    static_cast<void>(pthread_setname_np(thread.native_handle(), name));
}

}  // namespace glowkeeper
