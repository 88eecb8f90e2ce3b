// The update monitor: its table of transition texts, and its journal follower
// (a stand-in journalctl first on PATH) from start to stop.
#include <algorithm>
#include <csignal>
#include <future>

#include "status/update_monitor.hpp"
#include "support/test_support.hpp"

namespace glowkeeper::test {

const std::string download = "update-check [Sync] -> update-fetch [Download_Enter]";

// Every recognised line prints its status, and a failure stays recorded
// (for the LED's hold) through the client's own tail: the status report, its
// inventory update, and an update check that finds nothing. Deployment work
// ends it; a second failure records itself anew.
TEST(UpdateTransitions, EachTextMapsToItsStatusAndEndsAFailureOnlyWithNewWork) {
    enum Failure { Kept, Ended, New };
    const std::vector<std::tuple<std::string, std::vector<int>, Failure>> table{
        {"update-check [Sync] -> check-wait [Idle]", {0}, Kept},
        {download, {2}, Ended},
        {"update-store [Download_Enter] -> update-after-store [Download_Leave]", {2}, Ended},
        {"update-fetch [Download_Enter] -> update-store [Download_Enter]", {2}, Ended},
        {"mender-update-control [none] -> update-install [ArtifactInstall]", {3}, Ended},
        {"mender-update-control [none] -> reboot [ArtifactReboot_Enter]", {3}, Ended},
        {"mender-update-control [none] -> update-commit [ArtifactCommit_Enter]", {3}, Ended},
        {"update-status-report [none] -> idle [Idle]", {3}, Kept},
        {"inventory-update [Sync] -> check-wait [Idle]", {0}, Kept},
        {"update-error [ArtifactFailure] -> cleanup [Error]", {99}, New},
        {"update-check [Sync]", {}, Kept},
        {"Update-check [Sync] -> update-fetch [Download_Enter]", {}, Kept}};
    for (const auto& [text, values, failure] : table) {
        UpdateReport report;
        report.failure.store({-100, 777});
        testing::internal::CaptureStdout();
        matchTransitions("Dec 06 19:16:39 gw mender[412]: msg=\"State transition: " + text + "\"\n",
                         [&](const Transition& transition) { publish(report, transition); });
        const std::string printed = values.empty() ? "" : "[Monitor] Updatestatus: " + std::to_string(values[0]) + "\n";
        EXPECT_EQ(testing::internal::GetCapturedStdout(), printed) << text;
        EXPECT_EQ(report.failure.load().recorded(), failure != Ended) << text;
        EXPECT_EQ(report.failure.load().atSecond == -100, failure == Kept) << text;
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
