// The internet probe inside a private network namespace: its answer and how
// fast it comes for each way a connection can go, and the descriptors it uses.
#include "status/internet_probe.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <vector>

#include "support/test_support.hpp"

namespace glowkeeper::test {
namespace {

// Binds or connects `fd` to host:53.
int atPort53(int (*call)(int, const sockaddr*, socklen_t), int fd, in_addr_t host) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(host);
    return call(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
}

// Every address is local in the namespace, so 0.0.0.0:53 takes the probe's.
int listenOn53(int backlog) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return atPort53(bind, fd, INADDR_ANY) == 0 && listen(fd, backlog) == 0 ? fd : -1;
}

std::size_t openDescriptors() {
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    // The iterator holds one descriptor of its own while it counts.
    return static_cast<std::size_t>(std::distance(entries, std::filesystem::directory_iterator{})) - 1;
}

void setSoftLimit(rlim_t soft) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = soft;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
}

class InternetProbeTest : public testing::Test {
protected:
    void SetUp() override {
        getrlimit(RLIMIT_NOFILE, &limits);
        if (!enterPrivateNetwork()) {
            GTEST_SKIP() << "no private network namespace (needs root/CAP_SYS_ADMIN); never probing the host network";
        }
        alarm(15);  // a probe that never gives up ends the test instead of hanging it
    }
    void TearDown() override {
        alarm(0);
        setrlimit(RLIMIT_NOFILE, &limits);
    }
    rlimit limits{};
};

// Each outcome that needs no waiting, many times over: the result comes at
// once and every call closes what it opened.
TEST_F(InternetProbeTest, ImmediateOutcomesLeaveNoDescriptorOpen) {
    const auto expectAtOnce = [](const char* what, int expected) {
        for (int i = 0; i < 20; ++i) {
            const auto start = Clock::now();
            ASSERT_EQ(checkInternet(), expected) << what;
            ASSERT_LT(millisBetween(start, Clock::now()), 1000) << what;
        }
    };
    const std::size_t before = openDescriptors();
    expectAtOnce("refused", 0);

    const int listener = listenOn53(64);
    ASSERT_GE(listener, 0);
    expectAtOnce("accepted", 1);
    for (int i = 0; i < 20; ++i) {
        const int peer = accept(listener, nullptr, nullptr);
        ASSERT_GE(peer, 0);
        pollfd wait{peer, POLLIN, 0};
        ASSERT_EQ(poll(&wait, 1, 2000), 1) << "the probe left its connection open";
        char byte = 0;
        EXPECT_EQ(recv(peer, &byte, 1, 0), 0) << "the probe sent data or reset the connection";
        close(peer);
    }
    close(listener);

    // Taking lo down is not enough: its local routes survive and the SYN is
    // lost silently. Without the catch-all route connect fails at once.
    ASSERT_EQ(std::system("ip route del local 0.0.0.0/0 dev lo"), 0);
    expectAtOnce("no route", 0);
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(InternetProbeTest, SilentDropTimesOutAfterThreeSeconds) {
    // Backlog 0 holds one connection; once it is queued, further SYNs are dropped.
    const int listener = listenOn53(0);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(atPort53(connect, socket(AF_INET, SOCK_STREAM, 0), INADDR_LOOPBACK), 0);

    const auto start = Clock::now();
    EXPECT_EQ(checkInternet(), 0);
    const auto elapsed = millisBetween(start, Clock::now());
    EXPECT_GE(elapsed, 2500);
    EXPECT_LE(elapsed, 6000);
}

TEST_F(InternetProbeTest, DescriptorPastSelectLimitOrNoneLeft) {
    const int listener = listenOn53(8);
    ASSERT_GE(listener, 0);
    setSoftLimit(FD_SETSIZE + 64);
    // Fill every free slot below FD_SETSIZE, so the probe's socket lands past it.
    std::vector<int> held;
    int fd = -1;
    while ((fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fd < FD_SETSIZE) {
        held.push_back(fd);
    }
    close(fd);
    ASSERT_EQ(fd, FD_SETSIZE);
    // An FD_SET past the set corrupts the stack (or aborts when fortified).
    EXPECT_EQ(checkInternet(), 0);
    setSoftLimit(FD_SETSIZE);
    EXPECT_EQ(checkInternet(), -1) << "no descriptor left for the socket";
    for (const int taken : held) {
        close(taken);
    }
}

}  // namespace
}  // namespace glowkeeper::test
