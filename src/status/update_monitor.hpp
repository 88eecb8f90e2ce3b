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

// The last failed update, until a transition that starts deployment work.
// Eight aligned bytes, so its atomic needs no lock (nor libatomic).
struct alignas(std::int64_t) UpdateFailure {
    // Monotonic clock, whole seconds; the hold is measured from it.
    std::int32_t atSecond = 0;
    // Local time, for the status line; -1 when no failure is recorded.
    std::int16_t minuteOfDay = -1;

    [[nodiscard]] bool recorded() const { return minuteOfDay >= 0; }
};

// What the monitor publishes for the display loops and the status line.
struct UpdateReport {
    std::atomic<UpdateStatus> status{UpdateStatus::Unknown};
    std::atomic<FollowerState> follower{FollowerState::Starting};
    std::atomic<UpdateFailure> failure{UpdateFailure{}};
};

static_assert(std::atomic<UpdateFailure>::is_always_lock_free);

struct Transition {
    UpdateStatus status;
    // A download, install, reboot or commit: ends the hold of a failure,
    // which the client's own tail (status report, inventory, a check that
    // finds nothing) does not.
    bool startsWork;
};

// Transition texts of the update client, matched anywhere in a journal line.
extern const std::unordered_map<std::string, Transition> updateTransitionTable;

// Seconds of the monotonic clock, as UpdateFailure::atSecond counts them.
std::int32_t monotonicSecond();

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

// Calls onMatch with every transition whose text is found in the chunk, in
// the table's order; the monitor passes each line it reads, cut at a NUL.
void matchTransitions(std::string_view chunk, const std::function<void(const Transition&)>& onMatch);

// Publishes one recognised transition: the status, its line on standard
// output, and the failure record it sets or clears.
void publish(UpdateReport& report, const Transition& transition);

}  // namespace glowkeeper
