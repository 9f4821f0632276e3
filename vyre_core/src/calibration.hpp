#pragma once
// Magnetometer calibration: least-squares ellipsoid fit giving a hard-iron offset
// and a symmetric soft-iron matrix, in single precision.

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "telemetry.hpp"

namespace vyre {

struct MagnetometerSample {
    float x, y, z;  // µT
};

struct MagnetometerFit {
    std::array<float, 3> offsets;       // b, the fitted centre
    std::array<float, 9> scale_matrix;  // A, symmetric, row-major
};

inline constexpr std::size_t MIN_CALIBRATION_SAMPLES = 10;
inline constexpr float SINGULAR_VALUE_CUTOFF = 1e-6f;

// Nothing for too few samples, a degenerate or non-ellipsoidal cloud, or non-finite samples.
std::optional<MagnetometerFit> fit_magnetometer_ellipsoid(std::span<const MagnetometerSample> samples);

// How far the calibrated samples A·(m − b) lie from a sphere: the root mean
// square and the largest absolute difference of their lengths from the mean
// length, in µT. Zeros for no samples.
struct FitResiduals {
    float rms = 0.f;
    float max = 0.f;
};
FitResiduals fit_residuals(std::span<const MagnetometerSample> samples, const MagnetometerFit& fit);

// The field of every record received on `rx` until every sender is gone.
// `Receiver` has `std::optional<DataPacket> recv()` that returns nothing once the
// queue is empty and closed; it is released before this returns.
template <class Receiver>
std::vector<MagnetometerSample> collect_magnetometer_samples(Receiver rx) {
    std::vector<MagnetometerSample> samples;
    while (std::optional<DataPacket> packet = rx.recv())
        samples.push_back({packet->magnetic_field_x_microteslas, packet->magnetic_field_y_microteslas,
                           packet->magnetic_field_z_microteslas});
    { Receiver released = std::move(rx); }
    return samples;
}

// Body of the calibration worker: collects, then fits.
template <class Receiver>
std::optional<MagnetometerFit> collect_and_fit(Receiver rx) {
    return fit_magnetometer_ellipsoid(collect_magnetometer_samples(std::move(rx)));
}

}  // namespace vyre
