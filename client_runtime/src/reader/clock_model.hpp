#pragma once
// The device's clock on the host's: host time = offset + rate x device time,
// fitted to (device timestamp, receive time) pairs. A frame's delay (receive
// time minus the host time the device took it) is never negative, and the
// smallest delays carry the truth, so the fit follows the lower envelope of the
// pairs, never their mean: per window of device time it keeps the pair with the
// least delay, leaves out windows held back whole, fits a line to the lower
// half of the rest of the last windows' minima and lowers it to their lowest
// tenth.
// Frames of one read share its receive time; the last of them waited least, so
// each read gives one pair.
//
// A device timestamp that goes backwards, or runs ahead of the model (a reboot,
// mock mode, a wrap, a host clock step), starts a new model: no frame is stamped
// from the old one. Frames far later than the model expects are left unstamped,
// and a whole window of them starts a new model too.
//
// One writer (the reader thread in turn); any thread reads the published state.

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace vyre {

// Width of a window of device time, and how many windows the fit spans.
inline constexpr double CLOCK_WINDOW_SECONDS = 0.1;
inline constexpr std::size_t CLOCK_WINDOWS = 64;
// The model holds once this many windows spanning this much device time agree
// on a rate within CLOCK_MAX_DRIFT of the host's.
inline constexpr std::size_t CLOCK_MIN_WINDOWS = 3;
inline constexpr double CLOCK_MIN_SPAN_SECONDS = 0.15;
inline constexpr double CLOCK_MAX_DRIFT = 2000e-6;
// A window whose least delay is this much above another's, at any rate the
// model allows, was held back whole: the fit leaves it out.
inline constexpr double CLOCK_OUTLIER_SECONDS = 1e-3;
// A frame received this much before the model's time for it (plus 1000 ppm of
// the time since the model last had a pair) means the device clock jumped;
// less only means the line sits high, and the stamp is its receive time.
inline constexpr double CLOCK_EARLY_LIMIT_SECONDS = 0.05;
// A frame received this much after the model's time is left unstamped;
// CLOCK_LATE_WINDOWS windows in a row whose least delay is this large start a
// new model.
inline constexpr double CLOCK_LATE_LIMIT_SECONDS = 0.25;
inline constexpr std::size_t CLOCK_LATE_WINDOWS = 3;

// What VYREClient.clock_sync() reports. 64-bit words only (published lock-free).
struct ClockSync {
    double offset_seconds = std::numeric_limits<double>::quiet_NaN();  // host time at device time 0
    double drift_ppm = std::numeric_limits<double>::quiet_NaN();       // device clock's gain on the host's
    double jitter_seconds = std::numeric_limits<double>::quiet_NaN();  // p99 of |window minima - fit|
    // standard error of drift_ppm, from the scatter of the window minima about
    // the fit and the device time they span
    double drift_uncertainty_ppm = std::numeric_limits<double>::quiet_NaN();
    std::uint64_t pairs = 0;   // pairs taken by the current model
    std::uint64_t resets = 0;  // discontinuities since the client was built
    std::uint64_t synced = 0;  // 1 while the model holds
};

class ClockModel {
public:
    ClockModel() { publish(); }
    // The host time of a frame with `device_time` received at `receive_time`,
    // or NaN while no model holds (or the frame is implausibly late). Frames in
    // arrival order; a discontinuity starts a new model here.
    double stamp(double device_time, double receive_time);
    // Once per read, after stamping its frames: the read's last frame.
    void add_pair(double device_time, double receive_time);
    // The state after the last add_pair, for any thread.
    ClockSync snapshot() const;

private:
    struct Point {
        double x;  // device time since the model's origin
        double y;  // receive time minus x, since the origin's receive time
    };
    void restart(double device_time, double receive_time);
    // Files the open window; false when its least delay says the clock moved.
    bool close_window();
    void refit();
    // Where the envelope puts y at x: the fit, or before one the lowest pair
    // (the rate taken as 1).
    double envelope(double x) const { return fitted_ ? alpha_ + beta_ * x : floor_.y; }
    void publish();

    bool started_ = false;
    double d0_ = 0.0, r0_ = 0.0;  // origin
    double last_d_ = 0.0;
    // The last windows' least-delay pairs, a ring.
    std::array<Point, CLOCK_WINDOWS> windows_{};
    std::size_t count_ = 0, head_ = 0;
    std::size_t late_windows_ = 0;  // in a row
    bool window_open_ = false;
    double window_start_ = 0.0;
    Point best_{};  // least delay in the open window
    Point floor_{};  // least y of the model's pairs (the envelope before a fit)
    bool have_floor_ = false;
    bool fitted_ = false;
    double alpha_ = 0.0, beta_ = 0.0;  // y = alpha + beta x
    double last_pair_x_ = 0.0;
    ClockSync state_;
    // refit's working space: the windows oldest first, their envelope under
    // the others' cones, whether the fit keeps them, residuals
    std::array<Point, CLOCK_WINDOWS> ordered_{};
    std::array<double, CLOCK_WINDOWS> lower_{};
    std::array<bool, CLOCK_WINDOWS> keep_{};
    std::array<double, CLOCK_WINDOWS> scratch_{};

    // Sequence lock over the published state's words.
    static constexpr std::size_t WORDS = sizeof(ClockSync) / sizeof(std::uint64_t);
    static_assert(sizeof(ClockSync) == WORDS * sizeof(std::uint64_t));
    std::atomic<std::uint64_t> sequence_{0};
    std::array<std::atomic<std::uint64_t>, WORDS> words_{};
};

}  // namespace vyre
