#pragma once
// Telemetry a device queued while nobody read its port comes in one burst once
// the port is read: its device time runs ahead of host time. After a discard,
// the reader drops telemetry until device time keeps pace with host time for a
// while, or until a read finds the line quiet (a draining queue never pauses);
// what comes from then on is this session's.

namespace vyre {

// The lag of a read (host time less the device time of its newest frame)
// shrinks while a backlog drains, however slowly the line lets it; once the
// reads are live it only wanders with their scheduling. A new lowest lag by
// more than this is drain.
inline constexpr double BACKLOG_LAG_STEP_SECONDS = 0.005;
// How long the lag has to stay above its lowest before packets are delivered again.
inline constexpr double BACKLOG_SETTLE_SECONDS = 0.1;
// The most a discard drops: a device sending at nearly what the line carries
// drains its queue too slowly to tell, and keeps its telemetry all the same.
inline constexpr double BACKLOG_SKIP_LIMIT_SECONDS = 2.0;

class BacklogSkip {
public:
    void begin(double host_time) {
        active_ = true;
        began_ = host_time;
        anchored_ = false;
    }
    bool active() const { return active_; }
    // Nothing more is backlog (the line went quiet, or the session sent the
    // device something of its own to send back).
    void end() { active_ = false; }

    // Whether the packets of a read that returned at `host_time`, the newest
    // of them stamped `device_time` by the device, are still backlog.
    bool backlog(double host_time, double device_time) {
        if (!active_) return false;
        if (host_time - began_ >= BACKLOG_SKIP_LIMIT_SECONDS) {
            active_ = false;
            return false;
        }
        const double lag = host_time - device_time;
        if (!anchored_ || lag < lowest_lag_ - BACKLOG_LAG_STEP_SECONDS) {
            anchored_ = true;
            lowest_at_ = host_time;
            lowest_lag_ = lag;
            return true;
        }
        if (host_time - lowest_at_ < BACKLOG_SETTLE_SECONDS) return true;
        active_ = false;
        return false;
    }

private:
    bool active_ = false;
    bool anchored_ = false;
    double began_ = 0.0;
    // The last read that set a new lowest lag, and that lag.
    double lowest_at_ = 0.0;
    double lowest_lag_ = 0.0;
};

}  // namespace vyre
