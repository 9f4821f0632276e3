#include "calibration.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Dense>

namespace vyre {
namespace {

// A smallest singular value this far below the largest is rounding noise: the
// samples do not pin down the quadric (all equal, collinear, coplanar, ...) and
// the solve would fit that noise. The noise grows with the number of rows.
float rank_tolerance(std::size_t rows) {
    return std::numeric_limits<float>::epsilon() * std::max(9.0f, std::sqrt(static_cast<float>(rows)));
}

bool is_finite(const MagnetometerSample& s) {
    return std::isfinite(s.x) && std::isfinite(s.y) && std::isfinite(s.z);
}

// Rows [x², y², z², 2xy, 2xz, 2yz, 2x, 2y, 2z], written in one pass with each
// column contiguous.
Eigen::MatrixXf design_matrix(std::span<const MagnetometerSample> samples) {
    const auto n = static_cast<Eigen::Index>(samples.size());
    Eigen::MatrixXf d(n, 9);
    float* col[9];
    for (Eigen::Index c = 0; c < 9; ++c) col[c] = d.col(c).data();
    for (Eigen::Index i = 0; i < n; ++i) {
        const MagnetometerSample& s = samples[static_cast<std::size_t>(i)];
        const float x2 = s.x + s.x, y2 = s.y + s.y, z2 = s.z + s.z;
        col[0][i] = s.x * s.x;
        col[1][i] = s.y * s.y;
        col[2][i] = s.z * s.z;
        col[3][i] = x2 * s.y;
        col[4][i] = x2 * s.z;
        col[5][i] = y2 * s.z;
        col[6][i] = x2;
        col[7][i] = y2;
        col[8][i] = z2;
    }
    return d;
}

}  // namespace

std::optional<MagnetometerFit> fit_magnetometer_ellipsoid(std::span<const MagnetometerSample> samples) {
    if (samples.size() < MIN_CALIBRATION_SAMPLES) return std::nullopt;
    // Non-finite samples would poison every decomposition below.
    for (const MagnetometerSample& s : samples)
        if (!is_finite(s)) return std::nullopt;

    const Eigen::MatrixXf d = design_matrix(samples);
    if (!d.allFinite()) return std::nullopt;  // squares of huge samples overflow

    // Least squares D·v = 1 through the SVD.
    const Eigen::JacobiSVD<Eigen::MatrixXf> svd(d, Eigen::ComputeThinU | Eigen::ComputeThinV);
    if (svd.info() != Eigen::Success) return std::nullopt;
    const Eigen::VectorXf& sigma = svd.singularValues();
    if (!(sigma(8) > sigma(0) * rank_tolerance(samples.size()))) return std::nullopt;

    Eigen::VectorXf c = svd.matrixU().transpose() * Eigen::VectorXf::Ones(d.rows());
    for (Eigen::Index i = 0; i < 9; ++i) c(i) = sigma(i) > SINGULAR_VALUE_CUTOFF ? c(i) / sigma(i) : 0.0f;
    const Eigen::VectorXf v = svd.matrixV() * c;

    const float a = v(0), b = v(1), cc = v(2), dd = v(3), e = v(4), f = v(5);
    Eigen::Matrix3f m;
    m << a, dd, e,
         dd, b, f,
         e, f, cc;
    const Eigen::Vector3f u(v(6), v(7), v(8));

    // Cofactor inverse; only an exactly singular quadric is refused here.
    const float det = a * (b * cc - f * f) - dd * (dd * cc - f * e) + e * (dd * f - b * e);
    if (det == 0.0f) return std::nullopt;
    Eigen::Matrix3f m_inv;
    m_inv(0, 0) = (b * cc - f * f) / det;
    m_inv(0, 1) = (e * f - dd * cc) / det;
    m_inv(0, 2) = (dd * f - b * e) / det;
    m_inv(1, 1) = (a * cc - e * e) / det;
    m_inv(1, 2) = (dd * e - a * f) / det;
    m_inv(2, 2) = (a * b - dd * dd) / det;
    m_inv(1, 0) = m_inv(0, 1);
    m_inv(2, 0) = m_inv(0, 2);
    m_inv(2, 1) = m_inv(1, 2);

    const Eigen::Vector3f centre = -(m_inv * u);

    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3f> eigen(m);
    if (eigen.info() != Eigen::Success) return std::nullopt;

    // Outside a positive semi-definite quadric with positive level there is no ellipsoid.
    const float s = centre.dot(m * centre) + 1.0f;
    if (s <= 0.0f) return std::nullopt;
    const Eigen::Vector3f lambda = eigen.eigenvalues();
    if ((lambda.array() < 0.0f).any()) return std::nullopt;

    const Eigen::Matrix3f& v3 = eigen.eigenvectors();
    const Eigen::Matrix3f root = (v3 * lambda.cwiseSqrt().asDiagonal()) * v3.transpose();

    float radius_sum = 0.0f;
    for (const MagnetometerSample& sample : samples) {
        const float dx = sample.x - centre.x(), dy = sample.y - centre.y(), dz = sample.z - centre.z();
        radius_sum += std::sqrt(dx * dx + dy * dy + dz * dz);
    }
    float mean_radius = radius_sum / static_cast<float>(samples.size());
    if (!std::isfinite(mean_radius) || !(mean_radius > 0.0f)) mean_radius = 1.0f;

    const float inv_sqrt_s = 1.0f / std::sqrt(s);
    MagnetometerFit fit{};
    for (int i = 0; i < 3; ++i) {
        fit.offsets[static_cast<std::size_t>(i)] = centre(i);
        for (int j = 0; j < 3; ++j)
            fit.scale_matrix[static_cast<std::size_t>(3 * i + j)] = (root(i, j) * inv_sqrt_s) * mean_radius;
    }
    for (float x : fit.offsets)
        if (!std::isfinite(x)) return std::nullopt;
    for (float x : fit.scale_matrix)
        if (!std::isfinite(x)) return std::nullopt;
    return fit;
}

FitResiduals fit_residuals(std::span<const MagnetometerSample> samples, const MagnetometerFit& fit) {
    if (samples.empty()) return {};
    std::vector<float> lengths;
    lengths.reserve(samples.size());
    double sum = 0.0;
    for (const MagnetometerSample& s : samples) {
        const float d[3] = {s.x - fit.offsets[0], s.y - fit.offsets[1], s.z - fit.offsets[2]};
        float squared = 0.f;
        for (std::size_t row = 0; row < 3; ++row) {
            const float c = fit.scale_matrix[row * 3] * d[0] + fit.scale_matrix[row * 3 + 1] * d[1] +
                            fit.scale_matrix[row * 3 + 2] * d[2];
            squared += c * c;
        }
        lengths.push_back(std::sqrt(squared));
        sum += lengths.back();
    }
    const double mean = sum / static_cast<double>(lengths.size());
    double squares = 0.0;
    double largest = 0.0;
    for (float length : lengths) {
        const double difference = std::abs(static_cast<double>(length) - mean);
        squares += difference * difference;
        largest = std::max(largest, difference);
    }
    return {static_cast<float>(std::sqrt(squares / static_cast<double>(lengths.size()))),
            static_cast<float>(largest)};
}

}  // namespace vyre
