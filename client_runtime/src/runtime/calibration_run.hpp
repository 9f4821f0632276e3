#pragma once
// The magnetometer calibration run: while it collects, the reader copies every
// telemetry record through the packet tap to a worker that fits an ellipsoid once
// the tap is removed. The run's operations are on ClientRuntime.
//
// The tap's lock is a std::shared_mutex: a holder that fails releases it on the
// way out and nothing marks it poisoned, so installing and removing the tap
// sender cannot fail.

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "calibration.hpp"
#include "sync/spawned_thread.hpp"

namespace vyre {

inline constexpr const char* CALIBRATION_IN_PROGRESS_TEXT = "Calibration already in progress";
inline constexpr const char* CALIBRATION_PANICKED_TEXT = "Calibration thread panicked";

// Written before collecting, so the samples are raw readings.
inline constexpr std::array<float, 3> NEUTRAL_MAGNETOMETER_OFFSETS{0.f, 0.f, 0.f};
inline constexpr std::array<float, 9> NEUTRAL_MAGNETOMETER_MATRIX{1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f};

// What the worker leaves: how many samples it collected, the fit (none when
// the samples did not give one) and, with a fit, how well it matches them.
struct CalibrationOutcome {
    std::size_t samples = 0;
    std::optional<MagnetometerFit> fit;
    FitResiduals residuals;
};

// The worker; its result slot holds the outcome (empty after an abnormal end).
using CalibrationRun = SpawnedThread<CalibrationOutcome>;

// Shown the fit before it is written to the device.
using CalibrationReportSink = std::function<void(const MagnetometerFit&)>;

// Three lines, each ending in a newline: "Calibration result:", the offsets and
// the matrix column by column, every number with six decimals ("NaN", "inf", "-inf").
std::string format_calibration_report(const MagnetometerFit& fit);

// Writes the report to the process's standard output (C stdio, descriptor 1) and
// flushes it at once, so it stays in order with output written after it.
void print_calibration_report(const MagnetometerFit& fit);

}  // namespace vyre
