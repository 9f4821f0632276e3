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

// Body of the calibration worker: collects the field of every record until every
// sender of `rx` is gone, then fits. `Receiver` has `std::optional<DataPacket> recv()`
// that returns nothing once the queue is empty and closed.
template <class Receiver>
std::optional<MagnetometerFit> collect_and_fit(Receiver rx) {
    std::vector<MagnetometerSample> samples;
    while (std::optional<DataPacket> packet = rx.recv())
        samples.push_back({packet->magnetic_field_x_microteslas, packet->magnetic_field_y_microteslas,
                           packet->magnetic_field_z_microteslas});
    { Receiver released = std::move(rx); }
    return fit_magnetometer_ellipsoid(samples);
}

}  // namespace vyre
