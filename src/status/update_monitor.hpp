// Follows the update client's journal through journalctl and publishes the
// state of its update procedure.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace glowkeeper {

enum class UpdateStatus : std::int32_t {
    Unknown = -1,
    Idle = 0,
    Downloading = 2,
    Installing = 3,
    Failed = 99,
};

// Whether the journal follower still reports; the status line says when not.
enum class FollowerState : std::int8_t { Starting, Following, Ended, CouldNotStart };

// What the monitor publishes for the display loops and the status line.
struct UpdateReport {
    std::atomic<UpdateStatus> status{UpdateStatus::Unknown};
    std::atomic<FollowerState> follower{FollowerState::Starting};
};

// Transition texts of the update client, matched anywhere in a journal line.
extern const std::unordered_map<std::string, UpdateStatus> updateTransitionTable;

// Lets the owner end the journal follower, so that the monitor returns even
// when the stop signal reached the daemon alone.
class UpdateMonitorControl {
public:
    UpdateMonitorControl() = default;
    UpdateMonitorControl(const UpdateMonitorControl&) = delete;
    UpdateMonitorControl& operator=(const UpdateMonitorControl&) = delete;
    UpdateMonitorControl(UpdateMonitorControl&&) = delete;
    UpdateMonitorControl& operator=(UpdateMonitorControl&&) = delete;
    ~UpdateMonitorControl() = default;

    // Terminates the follower's process group (SIGKILL if it still runs
    // after a grace period) and keeps a later start from happening.
    void stop();

private:
    friend void monitorUpdateStatus(UpdateReport& report, UpdateMonitorControl& control);

    std::mutex mutex;
    std::condition_variable reaped;
    pid_t follower = -1;
    bool stopRequested = false;
    bool followerEnded = false;
};

// Thread body: returns when the follower cannot be started or its output ends.
void monitorUpdateStatus(UpdateReport& report, UpdateMonitorControl& control);

// Calls onMatch with the status of every transition text found in the chunk,
// in the table's order; the monitor passes each line it reads, cut at a NUL.
void matchTransitions(std::string_view chunk, const std::function<void(UpdateStatus)>& onMatch);

}  // namespace glowkeeper
