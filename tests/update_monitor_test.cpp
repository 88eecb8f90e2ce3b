// The update monitor: its table of transition texts, and its journal follower
// (a stand-in journalctl first on PATH) from start to stop.
#include <algorithm>
#include <csignal>
#include <future>

#include "status/update_monitor.hpp"
#include "support/test_support.hpp"

namespace glowkeeper::test {

const std::string download = "update-check [Sync] -> update-fetch [Download_Enter]";

// The values found in `chunk`, sorted.
std::vector<int> matches(const std::string& chunk) {
    std::vector<int> found;
    matchTransitions(chunk, [&](UpdateStatus value) { found.push_back(static_cast<int>(value)); });
    std::sort(found.begin(), found.end());
    return found;
}

TEST(UpdateTransitions, EachTextMapsToItsStatusAnywhereInALine) {
    const std::vector<std::pair<std::string, std::vector<int>>> table{
        {"update-check [Sync] -> check-wait [Idle]", {0}},
        {download, {2}},
        {"update-store [Download_Enter] -> update-after-store [Download_Leave]", {2}},
        {"update-fetch [Download_Enter] -> update-store [Download_Enter]", {2}},
        {"mender-update-control [none] -> update-install [ArtifactInstall]", {3}},
        {"mender-update-control [none] -> reboot [ArtifactReboot_Enter]", {3}},
        {"mender-update-control [none] -> update-commit [ArtifactCommit_Enter]", {3}},
        {"update-status-report [none] -> idle [Idle]", {3}},
        {"inventory-update [Sync] -> check-wait [Idle]", {0}},
        {"update-error [ArtifactFailure] -> cleanup [Error]", {99}},
        {download + " then update-error [ArtifactFailure] -> cleanup [Error]", {2, 99}},
        {"update-check [Sync]", {}},
        {"Update-check [Sync] -> update-fetch [Download_Enter]", {}}};
    for (const auto& [text, values] : table) {
        EXPECT_EQ(matches("Dec 06 19:16:39 gw mender[412]: msg=\"State transition: " + text + "\"\n"), values) << text;
    }
}

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class UpdateMonitor : public testing::Test {
protected:
    void SetUp() override {
        setenv("PATH", (dir.root.string() + ":" + getenv("PATH")).c_str(), 1);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }

    // The stand-in records its pid, then runs `body`.
    void standIn(const std::string& body) {
        std::ofstream(dir.file("journalctl")) << "#!/bin/sh\necho $$ > " << dir.file("pid") << "\n" << body << "\n";
        std::filesystem::permissions(dir.file("journalctl"), std::filesystem::perms::owner_all);
    }

    pid_t standInPid() {
        pid_t pid = -1;
        std::ifstream(dir.file("pid")) >> pid;
        return pid;
    }

    void start() {
        monitor = std::async(std::launch::async, [this] { monitorUpdateStatus(report, control); });
    }

    // What the monitor printed (standard output, then error). One still
    // running at the deadline fails, and its stand-in's group is killed.
    std::string join(std::chrono::milliseconds limit) {
        const pid_t group = getpgid(standInPid());
        if (monitor.wait_for(limit) != std::future_status::ready && group > 1 && group != getpgrp()) {
            ADD_FAILURE() << "monitor still running after " << limit.count() << " ms";
            kill(-group, SIGKILL);
        }
        monitor.wait();
        return testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    }

    TempDir dir;
    UpdateReport report{UpdateStatus::Idle};
    UpdateMonitorControl control;
    std::future<void> monitor;
};

// The follower gets the journal command and no descriptor of ours but its
// pipe; when its output ends the monitor returns with Unknown.
TEST_F(UpdateMonitor, OutputEndReturnsWithUnknownStatus) {
    ASSERT_EQ(dup2(open("/dev/null", O_RDONLY), 100), 100);
    standIn("printf '%s\\n' \"$@\" > " + dir.file("args") + "\nls /proc/$$/fd > " + dir.file("fds"));
    start();
    EXPECT_EQ(join(3s), "");
    EXPECT_EQ(report.status.load(), UpdateStatus::Unknown);
    EXPECT_EQ(report.follower.load(), FollowerState::Ended);
    EXPECT_EQ(readFile(dir.file("args")), "-fu\nmender-client\n--no-pager\n");
    const std::string fds = "\n" + readFile(dir.file("fds"));
    EXPECT_NE(fds.find("\n1\n"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("\n100\n"), std::string::npos) << "descriptor 100 leaked into the follower";
    EXPECT_LE(millisOf([&] { control.stop(); }), 1000) << "nothing left to stop";
}

TEST_F(UpdateMonitor, StopBeforeStartStartsNothing) {
    standIn("");
    control.stop();
    start();
    EXPECT_EQ(join(1s), "");
    EXPECT_EQ(standInPid(), -1);
    EXPECT_EQ(report.status.load(), UpdateStatus::Idle);
    EXPECT_EQ(report.follower.load(), FollowerState::Starting);
}

TEST_F(UpdateMonitor, FollowerThatCannotStartIsReported) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit none{0, limit.rlim_max};
    setrlimit(RLIMIT_NOFILE, &none);  // no pipe
    start();
    monitor.wait_for(1s);
    setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_EQ(join(1s), "Failed to start journalctl\n");
    EXPECT_EQ(report.status.load(), UpdateStatus::Idle);
    EXPECT_EQ(report.follower.load(), FollowerState::CouldNotStart);
}

class UpdateMonitorStop : public UpdateMonitor, public testing::WithParamInterface<bool> {};

// A follower that would run forever ends on stop(): at once on TERM, else by
// KILL after the grace period.
TEST_P(UpdateMonitorStop, EndsTheFollowerAndKeepsTheStatus) {
    // The journal lines come after the trap, so Downloading means it is set;
    // the same transition twice, in one write, must be published twice.
    standIn((GetParam() ? "trap '' TERM\n" : "") + ("echo '" + download + "\n" + download + "'\nexec sleep 1000"));
    start();
    EXPECT_TRUE(waitUntil([&] { return report.status.load() == UpdateStatus::Downloading && standInPid() > 0; }, 3s));
    const long long took = millisOf([&] { control.stop(); });
    EXPECT_TRUE(GetParam() ? took >= 1900 && took <= 4000 : took <= 1000) << took;
    EXPECT_EQ(join(1s), "[Monitor] Updatestatus: 2\n[Monitor] Updatestatus: 2\n");
    EXPECT_EQ(report.status.load(), UpdateStatus::Downloading);
}

INSTANTIATE_TEST_SUITE_P(Followers, UpdateMonitorStop, testing::Bool(),
                         [](const auto& info) { return info.param ? "IgnoringTerm" : "HonouringTerm"; });

}  // namespace glowkeeper::test
