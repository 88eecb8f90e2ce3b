#include "status/update_monitor.hpp"

#include "log/journal_stream.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace glowkeeper {

const std::unordered_map<std::string, Transition> updateTransitionTable = {
    {"update-check [Sync] -> check-wait [Idle]", {UpdateStatus::Idle, false}},
    {"update-check [Sync] -> update-fetch [Download_Enter]", {UpdateStatus::Downloading, true}},
    {"update-store [Download_Enter] -> update-after-store [Download_Leave]", {UpdateStatus::Downloading, true}},
    {"update-fetch [Download_Enter] -> update-store [Download_Enter]", {UpdateStatus::Downloading, true}},
    {"mender-update-control [none] -> update-install [ArtifactInstall]", {UpdateStatus::Installing, true}},
    {"mender-update-control [none] -> reboot [ArtifactReboot_Enter]", {UpdateStatus::Installing, true}},
    {"mender-update-control [none] -> update-commit [ArtifactCommit_Enter]", {UpdateStatus::Installing, true}},
    {"update-status-report [none] -> idle [Idle]", {UpdateStatus::Installing, false}},
    {"inventory-update [Sync] -> check-wait [Idle]", {UpdateStatus::Idle, false}},
    {"update-error [ArtifactFailure] -> cleanup [Error]", {UpdateStatus::Failed, false}},
};

namespace {

constexpr const char* journalCommand = "journalctl -fu mender-client --no-pager";
constexpr auto stopGrace = std::chrono::seconds(2);

// Runs the command through /bin/sh -c in a process group of its own, with
// the pipe as its standard output and no other descriptor of ours.
pid_t spawnFollower(int outputFd) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    char shell[] = "sh";
    char option[] = "-c";
    std::string command = journalCommand;
    char* const argv[] = {shell, option, command.data(), nullptr};
    pid_t pid = -1;
    const int error = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error == 0 ? pid : -1;
}

// Local time; the daemon's time zone is the system's.
std::int16_t localMinuteOfDay() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return 0;
    }
    return static_cast<std::int16_t>(local.tm_hour * 60 + local.tm_min);
}

}  // namespace

void UpdateMonitorControl::stop() {
    std::unique_lock lock(mutex);
    stopRequested = true;
    if (follower <= 0 || followerEnded) {
        return;
    }
    // The follower is not reaped before followerEnded is set under this lock,
    // so its process group id cannot have been reused.
    (void)kill(-follower, SIGTERM);
    if (!reaped.wait_for(lock, stopGrace, [this] { return followerEnded; })) {
        (void)kill(-follower, SIGKILL);
    }
}

void monitorUpdateStatus(UpdateReport& report, UpdateMonitorControl& control) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        report.follower.store(FollowerState::CouldNotStart);
        writeLine(STDERR_FILENO, LinePriority::Error, "Failed to start journalctl");
        return;
    }
    pid_t pid = -1;
    bool stopped = false;
    {
        const std::lock_guard lock(control.mutex);
        stopped = control.stopRequested;
        if (!stopped) {
            pid = spawnFollower(pipeFds[1]);
            control.follower = pid;
        }
    }
    close(pipeFds[1]);
    if (pid <= 0) {
        close(pipeFds[0]);
        if (!stopped) {
            report.follower.store(FollowerState::CouldNotStart);
            writeLine(STDERR_FILENO, LinePriority::Error, "Failed to start journalctl");
        }
        return;
    }

    report.follower.store(FollowerState::Following);
    report.status.store(UpdateStatus::Unknown);
    if (FILE* stream = fdopen(pipeFds[0], "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof(buffer), stream) != nullptr) {
            matchTransitions(buffer, [&report](const Transition& transition) { publish(report, transition); });
        }
        (void)fclose(stream);
    } else {
        close(pipeFds[0]);
    }

    // Wait for the exit without reaping, so that stop() never signals a
    // recycled process group; reap under the lock.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    {
        const std::lock_guard lock(control.mutex);
        control.followerEnded = true;
        (void)waitpid(pid, nullptr, 0);
    }
    report.follower.store(FollowerState::Ended);
    control.reaped.notify_all();
}

void matchTransitions(std::string_view chunk, const std::function<void(const Transition&)>& onMatch) {
    for (const auto& [text, transition] : updateTransitionTable) {
        if (chunk.find(text) != std::string_view::npos) {
            onMatch(transition);
        }
    }
}

std::int32_t monotonicSecond() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::int32_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

void publish(UpdateReport& report, const Transition& transition) {
    // In this order, a pass that sees only one of the two stores still shows
    // what it showed before or the failure.
    if (transition.status == UpdateStatus::Failed) {
        report.failure.store({monotonicSecond(), localMinuteOfDay()});
    }
    report.status.store(transition.status);
    if (transition.startsWork) {
        report.failure.store({});
    }
    writeLine(STDOUT_FILENO, LinePriority::Info,
              "[Monitor] Updatestatus: " + std::to_string(static_cast<int>(transition.status)));
}

}  // namespace glowkeeper
