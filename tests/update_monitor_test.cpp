// The update monitor against a stand-in journalctl placed first on PATH: which
// journal lines it recognises, how it ends, and what its follower inherits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

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
// A zombie counts: without a subreaper (qemu-user has none) an orphan that
// died waits for an init that may never reap it.
bool processGone(pid_t pid) {
    waitpid(pid, nullptr, WNOHANG);
    if (kill(pid, 0) != 0 && errno == ESRCH) {
        return true;
    }
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    return stat.find(") Z ") != std::string::npos;
}

// Every test puts its own folder first; this is what follows it.
const std::string systemPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";

class UpdateMonitor : public testing::Test {
protected:
    void SetUp() override {
        setenv("PATH", (dir.path().string() + ":" + systemPath).c_str(), 1);
        // Orphaned grandchildren come to us, so a dead one is reaped here.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    // The stand-in records its pid, then runs `body`.
    void standIn(const std::string& body) {
        const std::string path = dir.file("journalctl");
        std::ofstream(path) << "#!/bin/sh\necho $$ > " << dir.file("pid") << "\n" << body << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }

    pid_t standInPid() {
        pid_t pid = -1;
        std::ifstream(dir.file("pid")) >> pid;
        return pid;
    }

    void start(UpdateStatus initial) {
        status = initial;
        savedCout = std::cout.rdbuf(output.rdbuf());
        thread = std::thread([this] {
            monitorUpdateStatus(status, control);
            finished = true;
        });
    }

    // A monitor still running at the deadline fails the test: its stand-in's
    // group is killed and the process ends here rather than hang.
    void join(std::chrono::milliseconds limit) {
        if (!waitUntil([this] { return finished.load(); }, limit)) {
            ADD_FAILURE() << "monitor still running after " << limit.count() << " ms";
            const pid_t group = getpgid(standInPid());
            if (group > 1 && group != getpgrp()) {
                kill(-group, SIGKILL);
            }
            std::fflush(stdout);
            std::_Exit(1);
        }
        thread.join();
        std::cout.rdbuf(savedCout);
    }

    TempDir dir;
    std::atomic<UpdateStatus> status{UpdateStatus::Unknown};
    UpdateMonitorControl control;
    std::stringstream output;
    std::streambuf* savedCout = nullptr;
    std::atomic<bool> finished{false};
    std::thread thread;
};

struct JournalCase {
    const char* name;
    std::string journal;
    std::vector<std::string> printed;  // any one of these
};

void PrintTo(const JournalCase& journalCase, std::ostream* out) { *out << journalCase.name; }

class UpdateMonitorJournal : public UpdateMonitor, public testing::WithParamInterface<JournalCase> {};

TEST_P(UpdateMonitorJournal, RecognisesTransitionsInTheJournal) {
    std::ofstream(dir.file("journal")) << GetParam().journal;
    standIn("cat " + dir.file("journal"));
    testing::internal::CaptureStderr();
    start(UpdateStatus::Failed);
    join(3s);
    const std::string text = output.str();
    const auto& printedAny = GetParam().printed;
    EXPECT_NE(std::find(printedAny.begin(), printedAny.end(), text), printedAny.end()) << text;
    // The last value printed is the one stored; nothing printed leaves Unknown.
    const std::string last = text.empty() ? "-1\n" : text.substr(text.rfind(' ') + 1);
    EXPECT_EQ(std::to_string(static_cast<int>(status.load())) + "\n", last);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    // Its follower has ended: stopping must not sit out the grace period.
    const auto before = Clock::now();
    control.stop();
    EXPECT_LT(millisBetween(before, Clock::now()), 1000);
}

const std::string download = "update-check [Sync] -> update-fetch [Download_Enter]";
const std::string statusReport = "update-status-report [none] -> idle [Idle]";
const std::string failure = "update-error [ArtifactFailure] -> cleanup [Error]";

// One journal line holding `text`, expected to print and store `value`.
JournalCase hit(const char* name, const std::string& text, int value) {
    return {name, journalLine(text), {printed(value)}};
}

// A journal that changes nothing but the opening store of Unknown.
JournalCase miss(const char* name, const std::string& journal) { return {name, journal, {""}}; }

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
                    hit("ArtifactFailure", failure, 99), miss("PartialText", journalLine("update-check [Sync]")),
                    miss("CapitalisedText", journalLine("Update-check [Sync] -> update-fetch [Download_Enter]")),
                    JournalCase{
                        "RepeatedLineThenLastWins",
                        journalLine(download) + journalLine(download) + "unrelated\n" + journalLine(statusReport),
                        {printed(2) + printed(2) + printed(3)}},
                    miss("TextCutByChunkBoundary", std::string(500, 'x') + download + "\n"),
                    JournalCase{"TextStartingSecondChunk", std::string(511, 'x') + download + "\n", {printed(2)}},
                    // Both count, in whatever order the table holds them.
                    JournalCase{"TwoTextsInOneLine",
                                journalLine(download + " then " + failure),
                                {printed(2) + printed(99), printed(99) + printed(2)}},
                    miss("OutputEndsAtOnce", "")),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateMonitor, MissingJournalctlEndsWithUnknownStatus) {
    setenv("PATH", "/nonexistent", 1);
    testing::internal::CaptureStderr();
    start(UpdateStatus::Idle);
    join(3s);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status.load(), UpdateStatus::Unknown);
    EXPECT_EQ(output.str(), "");
    EXPECT_NE(errors.find("journalctl"), std::string::npos) << "the shell reports the missing command";
    EXPECT_EQ(errors.find("Failed to start journalctl"), std::string::npos);
}

class UpdateMonitorStop : public UpdateMonitor, public testing::WithParamInterface<bool> {};

// A follower that would run forever ends on stop(): at once on TERM, else by
// KILL after the grace period. The daemon's own blocked and ignored TERM must
// not reach the follower, or stop() would always wait for the KILL.
TEST_P(UpdateMonitorStop, EndsAFollowerAndLeavesNoChild) {
    // The journal line comes after the trap, so Downloading means it is set.
    standIn((GetParam() ? "trap '' TERM\n" : "") + ("echo '" + journalLine(download) + "'\nexec sleep 1000"));
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
    const auto savedTerm = std::signal(SIGTERM, SIG_IGN);
    start(UpdateStatus::Unknown);
    pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
    EXPECT_TRUE(waitUntil([&] { return status.load() == UpdateStatus::Downloading && standInPid() > 0; }, 3s));

    std::signal(SIGTERM, savedTerm);
    const auto before = Clock::now();
    control.stop();
    EXPECT_LT(millisBetween(before, Clock::now()), GetParam() ? 4000 : 1000);
    join(1s);
    EXPECT_EQ(status.load(), UpdateStatus::Downloading) << "stopping keeps the last status";
    EXPECT_TRUE(waitUntil([&] { return processGone(standInPid()); }, 1s));
}

INSTANTIATE_TEST_SUITE_P(Followers, UpdateMonitorStop, testing::Bool(),
                         [](const auto& info) { return info.param ? "IgnoringTerm" : "HonouringTerm"; });

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
