#include "runtime/calibration_run.hpp"

#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime/client_runtime.hpp"
#include "sync/sleeping.hpp"

namespace vyre {

namespace {

void append_number(std::string& out, float value) {
    if (std::isnan(value)) {
        out += "NaN";  // never "-nan"
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    char text[64];  // the widest f32 with six decimals has 39 + 1 + 6 characters
    std::snprintf(text, sizeof text, "%.6f", static_cast<double>(value));
    out += text;
}

}  // namespace

std::string format_calibration_report(const MagnetometerFit& fit) {
    std::string out = "Calibration result:\n  b = [";
    for (std::size_t i = 0; i < 3; ++i) {
        if (i > 0) out += ", ";
        append_number(out, fit.offsets[i]);
    }
    out += "]\n  A = [";
    for (std::size_t column = 0; column < 3; ++column) {
        if (column > 0) out += "; ";
        for (std::size_t row = 0; row < 3; ++row) {
            if (row > 0) out += ", ";
            append_number(out, fit.scale_matrix[row * 3 + column]);
        }
    }
    out += "]\n";
    return out;
}

void print_calibration_report(const MagnetometerFit& fit) {
    const std::string report = format_calibration_report(fit);
    std::fwrite(report.data(), 1, report.size(), stdout);
    std::fflush(stdout);
}

Status ClientRuntime::start_calibration() {
    if (calibration_) return Error::message(CALIBRATION_IN_PROGRESS_TEXT);
    auto [tx, rx] = make_channel<DataPacket>();
    {
        std::unique_lock lock(packet_tap_->mutex);
        packet_tap_->sender.emplace(std::move(tx));  // a sender left from before is dropped
    }
    auto samples = std::make_shared<Receiver<DataPacket>>(std::move(rx));
    auto spawned = CalibrationRun::spawn([samples] {
        CalibrationOutcome outcome;
        const std::vector<MagnetometerSample> collected = collect_magnetometer_samples(std::move(*samples));
        outcome.samples = collected.size();
        outcome.fit = fit_magnetometer_ellipsoid(collected);
        if (outcome.fit) outcome.residuals = fit_residuals(collected, *outcome.fit);
        return outcome;
    });
    if (!spawned) {
        std::unique_lock lock(packet_tap_->mutex);
        packet_tap_->sender.reset();
        return spawned.take_error();
    }
    calibration_.emplace(std::move(spawned).value());
    return ok_status();
}

Result<std::optional<MagnetometerFit>> ClientRuntime::finish_calibration() {
    auto outcome = finish_calibration_run();
    if (!outcome) return outcome.take_error();
    return std::move(outcome.value().fit);
}

Result<CalibrationOutcome> ClientRuntime::finish_calibration_run() {
    {
        std::unique_lock lock(packet_tap_->mutex);
        packet_tap_->sender.reset();  // the worker drains its queue, sees it closed and fits
    }
    if (!calibration_) return CalibrationOutcome{};
    CalibrationRun worker = std::move(*calibration_);
    calibration_.reset();
    auto joined = worker.join();
    if (!joined) return joined.take_error();
    if (!joined.value()) return Error::message(CALIBRATION_PANICKED_TEXT);
    return std::move(*joined.value());
}

Result<std::optional<bool>> ClientRuntime::run_magnetometer_calibration(double collection_seconds,
                                                                        double apply_timeout_seconds,
                                                                        const InterruptCheck& interrupted,
                                                                        const CalibrationReportSink& report,
                                                                        std::optional<CalibrationOutcome>* outcome) {
    if (auto error = take_failure()) return std::move(*error);
    auto collection = duration_from_secs_f64(collection_seconds);
    if (!collection) return collection.take_error();
    if (auto apply_timeout = duration_from_secs_f64(apply_timeout_seconds); !apply_timeout)
        return apply_timeout.take_error();

    auto reset = set_magnetometer_calibration(NEUTRAL_MAGNETOMETER_OFFSETS, NEUTRAL_MAGNETOMETER_MATRIX,
                                              apply_timeout_seconds, interrupted);
    if (!reset) return reset.take_error();
    if (!reset.value()) return std::optional<bool>();

    if (Status started = start_calibration(); !started) return started.take_error();
    // Collect until the time is up; an interrupt or a link failure ends the run
    // at once, and nothing is fitted, shown or written after it.
    auto end = Instant::now().checked_add(collection.value());
    if (auto collected = await_response(std::nullopt, end ? end.value() : FAR_FUTURE, interrupted); !collected) {
        (void)finish_calibration();
        return collected.take_error();
    }

    auto finished = finish_calibration_run();
    if (!finished) return finished.take_error();
    if (outcome) outcome->emplace(finished.value());
    const std::optional<MagnetometerFit>& fit = finished.value().fit;
    if (!fit) return std::optional<bool>();  // the device keeps the neutral calibration
    if (report) report(*fit);

    auto applied =
        set_magnetometer_calibration(fit->offsets, fit->scale_matrix, apply_timeout_seconds, interrupted);
    if (!applied) return applied.take_error();
    return std::optional<bool>(applied.value());
}

}  // namespace vyre
