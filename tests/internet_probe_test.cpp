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
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace glowkeeper::test {
namespace {

// A TCP listener on 0.0.0.0:port. In the private namespace every address is
// local, so it answers the probe whatever address the probe uses.
class Listener {
public:
    explicit Listener(int backlog, unsigned short port = 53) : fd(socket(AF_INET, SOCK_STREAM, 0)) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        ok = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
             listen(fd, backlog) == 0;
    }
    ~Listener() { close(fd); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int fd;
    bool ok = false;
};

// Takes the lowest free descriptor slot.
int occupy() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

// Drops the catch-all route, so connect fails at once with "network
// unreachable". Taking lo down is not enough: its local routes survive and
// the SYN is lost silently.
void removeRoute() { ASSERT_EQ(std::system("ip route del local 0.0.0.0/0 dev lo"), 0); }

std::size_t openDescriptors() {
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    // The iterator holds one descriptor of its own while it counts.
    return static_cast<std::size_t>(std::distance(entries, std::filesystem::directory_iterator{})) - 1;
}

// Sets the soft descriptor limit; returns the previous limits.
rlimit setSoftLimit(rlim_t soft) {
    rlimit previous{};
    getrlimit(RLIMIT_NOFILE, &previous);
    rlimit changed = previous;
    changed.rlim_cur = soft;
    setrlimit(RLIMIT_NOFILE, &changed);
    return previous;
}

class InternetProbeTest : public testing::Test {
protected:
    void SetUp() override {
        if (!enterPrivateNetwork()) {
            GTEST_SKIP() << "no private network namespace (needs root/CAP_SYS_ADMIN); never probing the host network";
        }
    }
};

struct ImmediateCase {
    const char* name;
    int backlog;  // < 0: no listener
    bool routeRemoved;
    int expected;
};

void PrintTo(const ImmediateCase& value, std::ostream* out) { *out << value.name; }

class ImmediateOutcome : public InternetProbeTest, public testing::WithParamInterface<ImmediateCase> {};

TEST_P(ImmediateOutcome, AnswersWithoutWaiting) {
    const ImmediateCase& param = GetParam();
    std::unique_ptr<Listener> listener;
    if (param.backlog >= 0) {
        listener = std::make_unique<Listener>(param.backlog);
        ASSERT_TRUE(listener->ok);
    }
    if (param.routeRemoved) {
        removeRoute();
    }
    const auto start = Clock::now();
    EXPECT_EQ(checkInternet(), param.expected);
    EXPECT_LT(millisBetween(start, Clock::now()), 1000);
}

INSTANTIATE_TEST_SUITE_P(InternetProbe, ImmediateOutcome,
                         testing::Values(ImmediateCase{"NoRoute", -1, true, 0}, ImmediateCase{"Refused", -1, false, 0},
                                         ImmediateCase{"Accepted", 8, false, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InternetProbeTest, AcceptedConnectionIsClosedWithoutData) {
    Listener listener(8);
    ASSERT_TRUE(listener.ok);
    ASSERT_EQ(checkInternet(), 1);
    const int peer = accept(listener.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    pollfd wait{peer, POLLIN, 0};
    ASSERT_EQ(poll(&wait, 1, 2000), 1) << "the probe left its connection open";
    char byte = 0;
    EXPECT_EQ(recv(peer, &byte, 1, 0), 0) << "the probe sent data or reset the connection";
    close(peer);
}

TEST_F(InternetProbeTest, SilentDropTimesOutAfterThreeSeconds) {
    // Backlog 0 holds one connection; once it is queued, further SYNs are dropped.
    Listener listener(0);
    ASSERT_TRUE(listener.ok);
    const int filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);

    const auto start = Clock::now();
    EXPECT_EQ(checkInternet(), 0);
    const auto elapsed = millisBetween(start, Clock::now());
    EXPECT_GE(elapsed, 2500);
    EXPECT_LE(elapsed, 6000);
    close(filler);
}

TEST_F(InternetProbeTest, NoDescriptorLeftGivesMinusOne) {
    const int lowestFree = occupy();
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    const rlimit previous = setSoftLimit(static_cast<rlim_t>(lowestFree));
    const int result = checkInternet();
    setrlimit(RLIMIT_NOFILE, &previous);
    EXPECT_EQ(result, -1);
}

TEST_F(InternetProbeTest, DescriptorPastSelectLimitIsNeverWaitedOn) {
    Listener listener(8);
    ASSERT_TRUE(listener.ok);
    const rlimit previous = setSoftLimit(FD_SETSIZE + 64);
    // Fill every free slot below FD_SETSIZE, so the probe's socket lands past it.
    std::vector<int> held;
    for (int fd = occupy(); fd >= 0; fd = occupy()) {
        if (fd >= FD_SETSIZE) {
            close(fd);
            break;
        }
        held.push_back(fd);
    }
    const int next = occupy();
    close(next);
    ASSERT_EQ(next, FD_SETSIZE);

    // An FD_SET past the set corrupts the stack (or aborts when fortified).
    EXPECT_EQ(checkInternet(), 0);
    for (const int fd : held) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &previous);
}

TEST_F(InternetProbeTest, ManyCallsLeaveDescriptorCountUnchanged) {
    const std::size_t before = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(checkInternet(), 0);  // refused
    }
    {
        Listener listener(64);
        ASSERT_TRUE(listener.ok);
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(checkInternet(), 1);
        }
    }
    removeRoute();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(checkInternet(), 0);  // no route
    }
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace glowkeeper::test
