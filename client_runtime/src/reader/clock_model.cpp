#include "reader/clock_model.hpp"

#include <algorithm>
#include <cmath>

namespace vyre {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
// Before a fit the rate is taken as 1: allow for a delayed first pair and for
// drift up to CLOCK_MAX_DRIFT since the lowest pair.
constexpr double COLLECT_EARLY_LIMIT_SECONDS = 0.1;
// A fitted rate is good to far better than this; it only covers long gaps.
constexpr double GAP_EARLY_RATE = 1e-3;

struct Line {
    double alpha = 0.0, beta = 0.0;
    bool ok = false;
};

// Least squares over the points whose index `keep` accepts.
template <class Points, class Keep>
Line fit_line(const Points& points, std::size_t count, Keep keep) {
    double sx = 0.0, sy = 0.0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!keep(i)) continue;
        sx += points[i].x;
        sy += points[i].y;
        ++n;
    }
    if (n < CLOCK_MIN_WINDOWS) return {};
    const double mx = sx / static_cast<double>(n), my = sy / static_cast<double>(n);
    double sxx = 0.0, sxy = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!keep(i)) continue;
        const double dx = points[i].x - mx;
        sxx += dx * dx;
        sxy += dx * (points[i].y - my);
    }
    if (!(sxx > 0.0)) return {};
    const double beta = sxy / sxx;
    return {my - beta * mx, beta, true};
}

// The standard error of a fitted slope over the kept points: the scatter of
// their m residuals (about their mean, as the line was fitted to the lower
// ones) over the spread of their device times. NaN for fewer than 3 points.
template <class Points, class Keep, class Residuals>
double slope_standard_error(const Points& points, std::size_t count, const Keep& keep, const Residuals& residuals,
                            std::size_t m) {
    if (m < 3) return NaN;
    double sx = 0.0, sr = 0.0;
    for (std::size_t i = 0, j = 0; i < count; ++i)
        if (keep[i]) {
            sx += points[i].x;
            sr += residuals[j++];
        }
    const double mx = sx / static_cast<double>(m), mr = sr / static_cast<double>(m);
    double sxx = 0.0, srr = 0.0;
    for (std::size_t i = 0, j = 0; i < count; ++i)
        if (keep[i]) {
            sxx += (points[i].x - mx) * (points[i].x - mx);
            srr += (residuals[j] - mr) * (residuals[j] - mr);
            ++j;
        }
    return sxx > 0.0 ? std::sqrt(srr / static_cast<double>(m - 2) / sxx) : NaN;
}

}  // namespace

double ClockModel::stamp(double device_time, double receive_time) {
    if (!std::isfinite(device_time) || !std::isfinite(receive_time)) return NaN;
    if (!started_) {
        restart(device_time, receive_time);
        return NaN;
    }
    const double x = device_time - d0_;
    const double y = receive_time - r0_ - x;
    bool jumped = !(device_time >= last_d_);
    double residual = 0.0;
    if (!jumped && (fitted_ || have_floor_)) {
        residual = y - envelope(x);
        const double early_limit =
            fitted_ ? CLOCK_EARLY_LIMIT_SECONDS + GAP_EARLY_RATE * std::max(0.0, x - last_pair_x_)
                    : COLLECT_EARLY_LIMIT_SECONDS + CLOCK_MAX_DRIFT * std::abs(x - floor_.x);
        jumped = residual < -early_limit;
    }
    if (jumped) {
        // Before a fit, pairs received earlier than the first ones only show
        // that those waited (a backlog read at start): start again, quietly.
        if (fitted_ || !(device_time >= last_d_)) ++state_.resets;
        restart(device_time, receive_time);
        return NaN;
    }
    last_d_ = device_time;
    if (!fitted_ || residual > CLOCK_LATE_LIMIT_SECONDS) return NaN;
    // Never after its receipt: a line that high is lowered at the next refit.
    return std::min(r0_ + x + (alpha_ + beta_ * x), receive_time);
}

void ClockModel::add_pair(double device_time, double receive_time) {
    if (!std::isfinite(device_time) || !std::isfinite(receive_time)) return;
    if (!started_) restart(device_time, receive_time);
    Point p{device_time - d0_, 0.0};
    p.y = receive_time - r0_ - p.x;
    if (window_open_ && p.x - window_start_ >= CLOCK_WINDOW_SECONDS && !close_window()) {
        // the clock moved away: this pair starts the new model
        ++state_.resets;
        restart(device_time, receive_time);
        p = Point{};
    }
    ++state_.pairs;
    last_pair_x_ = p.x;
    if (!have_floor_ || p.y < floor_.y) floor_ = p;
    have_floor_ = true;
    const double slope = fitted_ ? beta_ : 0.0;
    if (!window_open_ || p.x - window_start_ >= CLOCK_WINDOW_SECONDS) {
        window_open_ = true;
        window_start_ = p.x;
        best_ = p;
    } else if (p.y - slope * p.x < best_.y - slope * best_.x) {
        best_ = p;
    }
    publish();
}

void ClockModel::restart(double device_time, double receive_time) {
    started_ = true;
    d0_ = last_d_ = device_time;
    r0_ = receive_time;
    count_ = head_ = late_windows_ = 0;
    window_open_ = fitted_ = have_floor_ = false;
    alpha_ = beta_ = last_pair_x_ = 0.0;
    state_.pairs = 0;
    state_.synced = 0;
    state_.offset_seconds = state_.drift_ppm = state_.jitter_seconds = state_.drift_uncertainty_ppm = NaN;
}

bool ClockModel::close_window() {
    window_open_ = false;
    // Even the least delay of a whole window this large, window after
    // window: no link stays that slow, the device's clock has moved. One or
    // two such windows are a host that did not read for a while.
    if ((fitted_ || have_floor_) && best_.y - envelope(best_.x) > CLOCK_LATE_LIMIT_SECONDS) {
        return ++late_windows_ < CLOCK_LATE_WINDOWS;
    }
    late_windows_ = 0;
    windows_[head_] = best_;
    head_ = (head_ + 1) % CLOCK_WINDOWS;
    count_ = std::min(count_ + 1, CLOCK_WINDOWS);
    refit();
    return true;
}

// A refit that finds no line keeps the last one: a young model's rate is
// noisy, and a stamp from it beats a gap. A clock that really moved away
// shows in stamp() and close_window().
void ClockModel::refit() {
    // Oldest first, and which windows to keep: one whose least delay exceeds
    // another's by more than CLOCK_OUTLIER_SECONDS at every rate the model
    // allows was held back whole (a busy host, a backlog read at start).
    const std::size_t n = count_;
    for (std::size_t i = 0; i < n; ++i) ordered_[i] = windows_[(head_ + CLOCK_WINDOWS - n + i) % CLOCK_WINDOWS];
    double from_left = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        lower_[i] = from_left + CLOCK_MAX_DRIFT * ordered_[i].x;
        from_left = std::min(from_left, ordered_[i].y - CLOCK_MAX_DRIFT * ordered_[i].x);
    }
    double from_right = std::numeric_limits<double>::infinity();
    std::size_t kept = 0;
    double lo = 0.0, hi = 0.0;
    for (std::size_t i = n; i-- > 0;) {
        lower_[i] = std::min(lower_[i], from_right - CLOCK_MAX_DRIFT * ordered_[i].x);
        from_right = std::min(from_right, ordered_[i].y + CLOCK_MAX_DRIFT * ordered_[i].x);
        keep_[i] = !(ordered_[i].y - lower_[i] > CLOCK_OUTLIER_SECONDS);
        if (!keep_[i]) continue;
        if (kept++ == 0) hi = ordered_[i].x;
        lo = ordered_[i].x;
    }
    if (kept < CLOCK_MIN_WINDOWS || hi - lo < CLOCK_MIN_SPAN_SECONDS) return;
    Line line = fit_line(ordered_, n, [&](std::size_t i) { return keep_[i]; });
    if (!line.ok) return;
    // The lower half of those: late reads pull a mean up, never down.
    const Line first = line;
    const Line lower = fit_line(ordered_, n, [&](std::size_t i) {
        return keep_[i] && ordered_[i].y <= first.alpha + first.beta * ordered_[i].x;
    });
    if (lower.ok) line = lower;
    if (!(std::abs(line.beta) <= CLOCK_MAX_DRIFT)) return;
    // The slope from the fit, the height from the lowest tenth of the kept
    // windows: even the lower half's mean sits above the least delay where
    // a window holds few reads.
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (keep_[i]) scratch_[m++] = ordered_[i].y - (line.alpha + line.beta * ordered_[i].x);
    const double slope_error = slope_standard_error(ordered_, n, keep_, scratch_, m);
    const auto begin = scratch_.begin(), end = scratch_.begin() + static_cast<std::ptrdiff_t>(m);
    const std::size_t low = m / 10;
    std::nth_element(begin, begin + static_cast<std::ptrdiff_t>(low), end);
    const double shift = scratch_[low];
    fitted_ = true;
    alpha_ = line.alpha + shift;
    beta_ = line.beta;
    for (auto it = begin; it != end; ++it) *it = std::abs(*it - shift);
    const std::size_t rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(m))) - 1;
    std::nth_element(begin, begin + static_cast<std::ptrdiff_t>(rank), end);
    const double rate = 1.0 + beta_;  // host seconds per device second
    state_.synced = 1;
    state_.offset_seconds = r0_ + alpha_ - rate * d0_;
    state_.drift_ppm = (1.0 / rate - 1.0) * 1e6;
    state_.jitter_seconds = scratch_[rank];
    // drift = 1e6 (1 / rate - 1): its change with the slope is 1e6 / rate²
    state_.drift_uncertainty_ppm = slope_error / (rate * rate) * 1e6;
}

void ClockModel::publish() {
    const auto words = std::bit_cast<std::array<std::uint64_t, WORDS>>(state_);
    const std::uint64_t sequence = sequence_.load(std::memory_order_relaxed);
    sequence_.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (std::size_t i = 0; i < WORDS; ++i) words_[i].store(words[i], std::memory_order_relaxed);
    sequence_.store(sequence + 2, std::memory_order_release);
}

ClockSync ClockModel::snapshot() const {
    for (;;) {
        const std::uint64_t before = sequence_.load(std::memory_order_acquire);
        std::array<std::uint64_t, WORDS> words{};
        for (std::size_t i = 0; i < WORDS; ++i) words[i] = words_[i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (before % 2 == 0 && sequence_.load(std::memory_order_relaxed) == before)
            return std::bit_cast<ClockSync>(words);
    }
}

}  // namespace vyre
