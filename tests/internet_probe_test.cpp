// The internet probe inside a private network namespace: its answer and how
// fast it comes for each way a connection can go, and the descriptors it uses.
#include "status/internet_probe.hpp"

#include <netinet/in.h>
#include <sched.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cstdlib>
#include <iterator>

#include "support/test_support.hpp"

namespace glowkeeper::test {

// A listener on 0.0.0.0:53: every address is local in the namespace, so it
// takes the probe's connection.
int listenOn53(int backlog) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(53), {htonl(INADDR_ANY)}, {}};
    return bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 && listen(fd, backlog) == 0 ? fd
                                                                                                                   : -1;
}

std::size_t openDescriptors() {
    // Less the iterator's own descriptor.
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})) - 1;
}

void setSoftLimit(rlim_t soft) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = soft;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
}

bool writeFile(const char* path, const std::string& text) {
    std::ofstream file(path);
    return static_cast<bool>(file << text << std::flush);
}

// Without root, a user namespace of its own makes this user root over the
// new network namespace, so that `ip` may configure its loopback.
bool enterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) == 0) {
        return true;
    }
    const std::string uid = std::to_string(getuid());
    const std::string gid = std::to_string(getgid());
    return unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0 && writeFile("/proc/self/setgroups", "deny") &&
           writeFile("/proc/self/uid_map", "0 " + uid + " 1") && writeFile("/proc/self/gid_map", "0 " + gid + " 1");
}

class InternetProbeTest : public testing::Test {
protected:
    void SetUp() override {
        // lo up and every IPv4 address routed to it: no packet leaves.
        if (!enterPrivateNetwork() || std::system("ip link set lo up && ip route add local 0.0.0.0/0 dev lo") != 0) {
            GTEST_SKIP() << "no private network namespace (root or unprivileged user namespaces needed); "
                            "never probing the host network";
        }
        alarm(15);  // a probe that never gives up ends the test instead of hanging it
    }
};

// Each outcome that needs no waiting, many times over: the result comes at
// once and every call closes what it opened.
TEST_F(InternetProbeTest, ImmediateOutcomesLeaveNoDescriptorOpen) {
    const auto expectAtOnce = [](const char* what, int expected) {
        for (int i = 0; i < 20; ++i) {
            EXPECT_LT(millisOf([&] { ASSERT_EQ(checkInternet(), expected) << what; }), 1000) << what;
        }
    };
    const std::size_t before = openDescriptors();
    expectAtOnce("refused", 0);
    const int listener = listenOn53(64);
    ASSERT_GE(listener, 0);
    expectAtOnce("accepted", 1);
    for (int i = 0; i < 20; ++i) {
        const int peer = accept(listener, nullptr, nullptr);
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

TEST_F(InternetProbeTest, SilentDropTimesOutAfterThreeSecondsAndClosesItsSocket) {
    // Backlog 0 holds one connection; once it is queued, further SYNs are dropped.
    ASSERT_GE(listenOn53(0), 0);
    ASSERT_EQ(checkInternet(), 1);
    const std::size_t before = openDescriptors();
    const long long took = millisOf([] { EXPECT_EQ(checkInternet(), 0); });
    EXPECT_TRUE(took >= 2500 && took <= 6000) << took;
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(InternetProbeTest, DescriptorPastSelectLimitOrNoneLeft) {
    ASSERT_GE(listenOn53(8), 0);
    setSoftLimit(FD_SETSIZE + 64);
    // Fill every free slot below FD_SETSIZE, so the probe's socket lands past it.
    const int first = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int fd = first;
    while (fd >= 0 && fd < FD_SETSIZE) {
        fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    close(fd);
    ASSERT_EQ(fd, FD_SETSIZE);
    // An FD_SET past the set corrupts the stack (or aborts when fortified).
    EXPECT_EQ(checkInternet(), 0);
    setSoftLimit(FD_SETSIZE);
    EXPECT_EQ(checkInternet(), -1) << "no descriptor left for the socket";
    for (fd = first; fd < FD_SETSIZE; ++fd) {
        close(fd);  // LeakSanitizer needs descriptors at exit
    }
}

}  // namespace glowkeeper::test
