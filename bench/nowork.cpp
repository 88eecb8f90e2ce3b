// The daemon's fixed schedule with no work: the same threads, the same
// pauses (200 ms main loop, 1 s status loop, 5 s connectivity loop) and a
// thread blocked on a pipe read like the update monitor. Its cost is the
// floor that the daemon's healthy state is compared against.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

namespace {

volatile std::sig_atomic_t running = 1;

void stop(int /*signal*/) { running = 0; }

void pauseLoop(std::chrono::milliseconds pause) {
    while (running != 0) {
        std::this_thread::sleep_for(pause);
    }
}

}  // namespace

int main() {
    (void)std::signal(SIGTERM, stop);
    (void)std::signal(SIGINT, stop);
    int fds[2];
    if (pipe(fds) != 0) {
        return 1;
    }
    std::thread connectivity(pauseLoop, std::chrono::milliseconds(5000));
    std::thread monitor([fd = fds[0]] {
        char byte = 0;
        (void)read(fd, &byte, 1);
    });
    std::thread status(pauseLoop, std::chrono::milliseconds(1000));
    pauseLoop(std::chrono::milliseconds(200));
    (void)write(fds[1], "x", 1);
    connectivity.join();
    monitor.join();
    status.join();
    return 0;
}
