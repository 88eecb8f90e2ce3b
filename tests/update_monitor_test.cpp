// The update monitor against a stand-in journalctl placed first on PATH: which
// journal lines it recognises, how it ends, and what its follower inherits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <sstream>
#include <thread>

#include "status/update_monitor.hpp"
#include "support/test_support.hpp"

namespace glowkeeper::test {
namespace {

using namespace std::chrono_literals;

std::string journalLine(const std::string& text) {
    return "Dec 06 19:16:39 gateway mender[412]: level=info msg=\"State transition: " + text + "\"\n";
}

std::string printed(int value) { return "[Monitor] Updatestatus: " + std::to_string(value) + "\n"; }

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// True once `pid` is gone; reaps it if it was orphaned to us (subreaper).
bool processGone(pid_t pid) {
    waitpid(pid, nullptr, WNOHANG);
    return kill(pid, 0) != 0 && errno == ESRCH;
}

class UpdateMonitor : public testing::Test {
protected:
    void SetUp() override {
        oldPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
        setenv("PATH", (dir.path().string() + ":" + oldPath).c_str(), 1);
        // Orphaned grandchildren come to us, so a dead one never lingers as
        // a zombie of an init that does not reap.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    void TearDown() override {
        if (thread.joinable()) {
            join(5s);
        }
        setenv("PATH", oldPath.c_str(), 1);
    }

    // The stand-in records its pid (after `preamble`), then runs `body`.
    void standIn(const std::string& body, const std::string& preamble = "") {
        const std::string path = dir.file("journalctl");
        std::ofstream(path) << "#!/bin/sh\n" << preamble << "echo $$ > " << dir.file("pid") << "\n" << body << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }

    pid_t standInPid() {
        std::ifstream file(dir.file("pid"));
        pid_t pid = -1;
        file >> pid;
        return pid;
    }

    void start(UpdateStatus initial) {
        status = initial;
        savedCout = std::cout.rdbuf(output.rdbuf());
        finished = done.get_future();
        thread = std::thread([this] {
            monitorUpdateStatus(status, control);
            done.set_value();
        });
    }

    bool waitFinished(std::chrono::milliseconds limit) { return finished.wait_for(limit) == std::future_status::ready; }

    // A monitor still running at the deadline fails the test; its stand-in is
    // killed so the thread can be joined, else the process ends here.
    void join(std::chrono::milliseconds limit) {
        if (!waitFinished(limit)) {
            ADD_FAILURE() << "monitor still running after " << limit.count() << " ms";
            const pid_t pid = standInPid();
            const pid_t group = pid > 0 ? getpgid(pid) : -1;
            if (group > 1 && group != getpgrp()) {
                kill(-group, SIGKILL);
            }
            if (pid > 0) {
                kill(pid, SIGKILL);
            }
            if (!waitFinished(2s)) {
                std::fflush(stdout);
                std::_Exit(1);
            }
        }
        thread.join();
        std::cout.rdbuf(savedCout);
    }

    TempDir dir;
    std::string oldPath;
    std::atomic<UpdateStatus> status{UpdateStatus::Unknown};
    UpdateMonitorControl control;
    std::stringstream output;
    std::streambuf* savedCout = nullptr;
    std::promise<void> done;
    std::future<void> finished;
    std::thread thread;
};

struct JournalCase {
    const char* name;
    std::string journal;
    std::string printed;
    int status;
};

void PrintTo(const JournalCase& journalCase, std::ostream* out) { *out << journalCase.name; }

class UpdateMonitorJournal : public UpdateMonitor, public testing::WithParamInterface<JournalCase> {};

TEST_P(UpdateMonitorJournal, RecognisesTransitionsInTheJournal) {
    std::ofstream(dir.file("journal")) << GetParam().journal;
    standIn("cat " + dir.file("journal"));
    testing::internal::CaptureStderr();
    start(UpdateStatus::Failed);
    join(3s);
    EXPECT_EQ(output.str(), GetParam().printed);
    EXPECT_EQ(static_cast<int>(status.load()), GetParam().status);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

const std::string download = "update-check [Sync] -> update-fetch [Download_Enter]";
const std::string statusReport = "update-status-report [none] -> idle [Idle]";

// One journal line holding `text`, expected to print and store `value`.
JournalCase hit(const char* name, const std::string& text, int value) {
    return {name, journalLine(text), printed(value), value};
}

// A journal that changes nothing but the opening store of Unknown.
JournalCase miss(const char* name, const std::string& journal) { return {name, journal, "", -1}; }

INSTANTIATE_TEST_SUITE_P(
    Lines, UpdateMonitorJournal,
    testing::Values(hit("CheckWaitIdle", "update-check [Sync] -> check-wait [Idle]", 0),
                    hit("FetchStarts", download, 2),
                    hit("StoreLeaves", "update-store [Download_Enter] -> update-after-store [Download_Leave]", 2),
                    hit("StoreEnters", "update-fetch [Download_Enter] -> update-store [Download_Enter]", 2),
                    hit("Install", "mender-update-control [none] -> update-install [ArtifactInstall]", 3),
                    hit("Reboot", "mender-update-control [none] -> reboot [ArtifactReboot_Enter]", 3),
                    hit("Commit", "mender-update-control [none] -> update-commit [ArtifactCommit_Enter]", 3),
                    hit("StatusReportIsInstalling", statusReport, 3),
                    hit("InventoryIdle", "inventory-update [Sync] -> check-wait [Idle]", 0),
                    hit("ArtifactFailure", "update-error [ArtifactFailure] -> cleanup [Error]", 99),
                    miss("PartialText", journalLine("update-check [Sync]")),
                    miss("CapitalisedText", journalLine("Update-check [Sync] -> update-fetch [Download_Enter]")),
                    JournalCase{"RepeatedLine", journalLine(download) + journalLine(download), printed(2) + printed(2),
                                2},
                    JournalCase{"LastLineWins", journalLine(download) + "unrelated\n" + journalLine(statusReport),
                                printed(2) + printed(3), 3},
                    miss("TextCutByChunkBoundary", std::string(500, 'x') + download + "\n"),
                    JournalCase{"TextStartingSecondChunk", std::string(511, 'x') + download + "\n", printed(2), 2},
                    miss("OutputEndsAtOnce", "")),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateMonitor, TwoTextsInOneLineStoreBothAndKeepTheLastTried) {
    std::ofstream(dir.file("journal")) << journalLine(download +
                                                      " then update-error [ArtifactFailure] -> cleanup [Error]");
    standIn("cat " + dir.file("journal"));
    start(UpdateStatus::Idle);
    join(3s);
    const std::string text = output.str();
    EXPECT_TRUE(text == printed(2) + printed(99) || text == printed(99) + printed(2)) << text;
    EXPECT_EQ(text.substr(text.rfind(' ') + 1), std::to_string(static_cast<int>(status.load())) + "\n");
}

TEST_F(UpdateMonitor, MissingJournalctlEndsWithUnknownStatus) {
    const TempDir empty;
    setenv("PATH", empty.path().c_str(), 1);
    testing::internal::CaptureStderr();
    start(UpdateStatus::Idle);
    join(3s);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status.load(), UpdateStatus::Unknown);
    EXPECT_EQ(output.str(), "");
    EXPECT_NE(errors.find("journalctl"), std::string::npos) << "the shell reports the missing command";
    EXPECT_EQ(errors.find("Failed to start journalctl"), std::string::npos);
}

TEST_F(UpdateMonitor, NoPipeForTheFollowerReportsAndKeepsStatus) {
    standIn("echo '" + journalLine(download) + "'");
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    testing::internal::CaptureStderr();
    rlimit tight = saved;
    tight.rlim_cur = 3;  // no descriptor left for a pipe
    setrlimit(RLIMIT_NOFILE, &tight);
    start(UpdateStatus::Installing);
    waitFinished(3s);
    setrlimit(RLIMIT_NOFILE, &saved);
    join(1s);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to start journalctl\n");
    EXPECT_EQ(status.load(), UpdateStatus::Installing);
    EXPECT_EQ(output.str(), "");
}

// The daemon's own signal mask and dispositions must not reach the follower,
// or SIGTERM would miss it.
TEST_F(UpdateMonitor, StopEndsAFollowerAndLeavesNoChild) {
    standIn("echo '" + journalLine(download) + "'\nexec sleep 1000");
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
    const auto savedTerm = std::signal(SIGTERM, SIG_IGN);
    start(UpdateStatus::Unknown);
    pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
    ASSERT_TRUE(waitUntil([&] { return status.load() == UpdateStatus::Downloading && standInPid() > 0; }, 3s));

    std::signal(SIGTERM, savedTerm);
    const auto before = Clock::now();
    control.stop();
    EXPECT_LT(millisBetween(before, Clock::now()), 1000);
    join(1s);
    EXPECT_EQ(status.load(), UpdateStatus::Downloading) << "stopping keeps the last status";
    EXPECT_EQ(output.str(), printed(2));
    EXPECT_TRUE(waitUntil([&] { return processGone(standInPid()); }, 1s));
}

TEST_F(UpdateMonitor, StopKillsAFollowerThatIgnoresTerm) {
    standIn("while :; do sleep 1; done", "trap '' TERM\n");
    start(UpdateStatus::Unknown);
    ASSERT_TRUE(waitUntil([&] { return standInPid() > 0; }, 3s));

    const auto before = Clock::now();
    control.stop();
    EXPECT_LT(millisBetween(before, Clock::now()), 4000);
    join(1s);
    EXPECT_TRUE(waitUntil([&] { return processGone(standInPid()); }, 1s));
}

TEST_F(UpdateMonitor, StopBeforeStartStartsNoFollower) {
    standIn("echo '" + journalLine(download) + "'");
    control.stop();
    testing::internal::CaptureStderr();
    start(UpdateStatus::Installing);
    join(1s);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(std::filesystem::exists(dir.file("pid")));
    EXPECT_EQ(status.load(), UpdateStatus::Installing);
    EXPECT_EQ(output.str(), "");
}

TEST_F(UpdateMonitor, StopAfterTheFollowerEndedReturnsAtOnce) {
    standIn("exit 0");
    start(UpdateStatus::Idle);
    join(3s);
    const auto before = Clock::now();
    control.stop();
    EXPECT_LT(millisBetween(before, Clock::now()), 500);
}

TEST_F(UpdateMonitor, FollowerRunsTheJournalCommandWithOnlyItsPipe) {
    const int leaked = open(dir.file("leak").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(dup2(leaked, 100), 100);
    close(leaked);
    standIn("printf '%s\\n' \"$@\" > " + dir.file("args") + "\nls /proc/$$/fd > " + dir.file("fds"));
    start(UpdateStatus::Unknown);
    join(3s);
    close(100);

    EXPECT_EQ(readFile(dir.file("args")), "-fu\nmender-client\n--no-pager\n");
    const std::string fds = "\n" + readFile(dir.file("fds"));
    EXPECT_NE(fds.find("\n1\n"), std::string::npos) << "listing was written: " << fds;
    EXPECT_EQ(fds.find("\n100\n"), std::string::npos) << "descriptor 100 leaked into the follower";
}

}  // namespace
}  // namespace glowkeeper::test
