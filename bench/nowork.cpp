// The daemon's fixed schedule: the same threads, the same pauses (200 ms
// main loop, 1 s status loop, 5 s connectivity loop) and a thread blocked on
// a pipe read like the update monitor. Without arguments it does no work: the
// floor the daemon's healthy state is compared against. With `job LED_DIR
// CGROUP_ROOT` it also makes the healthy job's system calls and nothing else
// (three stat() calls and three brightness writes a second, one probe and one
// write every fifth second): the floor of the job itself.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t running = 1;

void stop(int /*signal*/) { running = 0; }

template <typename Work>
void pauseLoop(std::chrono::milliseconds pause, Work work) {
    while (running != 0) {
        work();
        std::this_thread::sleep_for(pause);
    }
}

void writeFile(const std::string& path, const char* text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd >= 0) {
        (void)write(fd, text, std::strlen(text));
        close(fd);
    }
}

bool probe() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    inet_pton(AF_INET, "8.8.8.8", &address.sin_addr);
    bool up = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    if (!up && errno == EINPROGRESS) {
        fd_set writeSet;
        FD_ZERO(&writeSet);
        FD_SET(fd, &writeSet);
        timeval timeout{3, 0};
        int error = 0;
        socklen_t length = sizeof(error);
        up = select(fd + 1, nullptr, &writeSet, nullptr, &timeout) > 0 &&
             getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    close(fd);
    return up;
}

}  // namespace

int main(int argc, char** argv) {
    (void)std::signal(SIGTERM, stop);
    (void)std::signal(SIGINT, stop);
    const bool job = argc == 4 && std::string(argv[1]) == "job";
    // The job probes the resolver: only inside the benchmark's private network.
    const char* inNamespace = std::getenv("GLOWSIM_IN_NAMESPACE");
    if (job && (inNamespace == nullptr || std::string(inNamespace) != "1")) {
        std::cerr << "nowork: run the job through bench/run.sh\n";
        return 2;
    }
    const std::string leds = job ? argv[2] : "";
    const std::string root = job ? argv[3] : "";
    int fds[2];
    if (pipe(fds) != 0) {
        return 1;
    }
    std::thread connectivity([job, &leds] {
        pauseLoop(std::chrono::milliseconds(5000), [job, &leds] {
            if (job) {
                writeFile(leds + "/led", probe() ? "1" : "0");
            }
        });
    });
    std::thread monitor([fd = fds[0]] {
        char byte = 0;
        (void)read(fd, &byte, 1);
    });
    std::thread status([job, &leds, &root] {
        pauseLoop(std::chrono::milliseconds(1000), [job, &leds, &root] {
            if (!job) {
                return;
            }
            bool green = true;
            for (const char* name : {"tiviad", "pelmad", "mender-client"}) {
                struct stat info {};
                green = stat((root + "/" + name + ".service").c_str(), &info) == 0 && green;
            }
            writeFile(leds + "/red", green ? "0" : "1");
            writeFile(leds + "/green", green ? "1" : "0");
            writeFile(leds + "/blue", "0");
        });
    });
    pauseLoop(std::chrono::milliseconds(200), [] {});
    (void)write(fds[1], "x", 1);
    connectivity.join();
    monitor.join();
    status.join();
    return 0;
}
