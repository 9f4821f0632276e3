#include "calibration.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace vyre {
namespace {

using Samples = std::vector<MagnetometerSample>;
using Mat3 = std::array<std::array<double, 3>, 3>;

// n well-spread unit directions (golden-angle spiral).
std::vector<std::array<double, 3>> directions(std::size_t n) {
    std::vector<std::array<double, 3>> out;
    const double golden = std::numbers::pi * (3.0 - std::sqrt(5.0));
    for (std::size_t i = 0; i < n; ++i) {
        const double z = 1.0 - 2.0 * (static_cast<double>(i) + 0.5) / static_cast<double>(n);
        const double r = std::sqrt(1.0 - z * z);
        const double phi = golden * static_cast<double>(i);
        out.push_back({r * std::cos(phi), r * std::sin(phi), z});
    }
    return out;
}

// Points centre + shape·u for unit directions u.
Samples ellipsoid(std::size_t n, std::array<double, 3> centre, const Mat3& shape) {
    Samples out;
    for (const auto& u : directions(n)) {
        double p[3];
        for (int i = 0; i < 3; ++i)
            p[i] = centre[i] + shape[i][0] * u[0] + shape[i][1] * u[1] + shape[i][2] * u[2];
        out.push_back({static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])});
    }
    return out;
}

Mat3 diag(double a, double b, double c) { return {{{a, 0, 0}, {0, b, 0}, {0, 0, c}}}; }

double mean_distance(const Samples& s, std::array<double, 3> centre) {
    double sum = 0;
    for (const auto& m : s) sum += std::hypot(m.x - centre[0], m.y - centre[1], m.z - centre[2]);
    return sum / static_cast<double>(s.size());
}

bool all_finite(const MagnetometerFit& fit) {
    for (float v : fit.offsets)
        if (!std::isfinite(v)) return false;
    for (float v : fit.scale_matrix)
        if (!std::isfinite(v)) return false;
    return true;
}

class FitSampleCount : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FitSampleCount, NeedsTenSamples) {
    const Samples s = ellipsoid(GetParam(), {10, -5, 3}, diag(50, 50, 50));
    EXPECT_EQ(fit_magnetometer_ellipsoid(s).has_value(), GetParam() >= MIN_CALIBRATION_SAMPLES);
}

INSTANTIATE_TEST_SUITE_P(Counts, FitSampleCount, ::testing::Values(0u, 9u, 10u, 11u));

struct AxisCase {
    std::string name;
    std::array<double, 3> centre;
    std::array<double, 3> semi_axes;
};

class FitAxisAligned : public ::testing::TestWithParam<AxisCase> {};

// For an axis-aligned ellipsoid the scale matrix is diag(r̄/a, r̄/b, r̄/c); a sphere gives the identity.
TEST_P(FitAxisAligned, RecoversCentreAndAxisGains) {
    const AxisCase& c = GetParam();
    const auto [a, b, cc] = c.semi_axes;
    const Samples s = ellipsoid(500, c.centre, diag(a, b, cc));
    const auto fit = fit_magnetometer_ellipsoid(s);
    ASSERT_TRUE(fit.has_value());
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(fit->offsets[i], c.centre[i], 0.01) << "offset " << i;
    const double rbar = mean_distance(s, c.centre);
    const Mat3 expected = diag(rbar / a, rbar / b, rbar / cc);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(fit->scale_matrix[3 * i + j], expected[i][j], 1e-3) << "A[" << i << "][" << j << "]";
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FitAxisAligned,
    ::testing::Values(AxisCase{"Sphere", {10, -5, 3}, {50, 50, 50}},
                      AxisCase{"Ellipsoid", {0, 0, 0}, {60, 40, 50}},
                      AxisCase{"OffsetEllipsoid", {-12, 7, 20}, {45, 55, 35}}),
    [](const auto& param_info) { return param_info.param.name; });

// Soft iron in every direction: the fitted map must put every sample on one sphere.
TEST(Fit, RotatedEllipsoidMapsOntoSphere) {
    const double c1 = std::cos(0.5), s1 = std::sin(0.5), c2 = std::cos(-0.9), s2 = std::sin(-0.9);
    const Mat3 rz{{{c1, -s1, 0}, {s1, c1, 0}, {0, 0, 1}}};
    const Mat3 rx{{{1, 0, 0}, {0, c2, -s2}, {0, s2, c2}}};
    const std::array<double, 3> axes{58, 37, 46};
    Mat3 shape{};  // Rz·Rx·diag(axes)
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) shape[i][j] += rz[i][k] * rx[k][j] * axes[j];
    const std::array<double, 3> centre{14, -22, 9};
    const Samples s = ellipsoid(1000, centre, shape);

    const auto fit = fit_magnetometer_ellipsoid(s);
    ASSERT_TRUE(fit.has_value());
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(fit->offsets[i], centre[i], 0.05);
    const auto& a = fit->scale_matrix;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < i; ++j) EXPECT_NEAR(a[3 * i + j], a[3 * j + i], 1e-4);

    const double rbar = mean_distance(s, centre);
    for (const auto& m : s) {
        const double d[3] = {m.x - fit->offsets[0], m.y - fit->offsets[1], m.z - fit->offsets[2]};
        double len2 = 0;
        for (int i = 0; i < 3; ++i) {
            const double row = a[3 * i] * d[0] + a[3 * i + 1] * d[1] + a[3 * i + 2] * d[2];
            len2 += row * row;
        }
        ASSERT_NEAR(std::sqrt(len2), rbar, 0.01 * rbar);
    }
}

struct NoFitCase {
    std::string name;
    std::function<Samples()> make;
};

class FitRefuses : public ::testing::TestWithParam<NoFitCase> {};

TEST_P(FitRefuses, GivesNoResult) { EXPECT_FALSE(fit_magnetometer_ellipsoid(GetParam().make()).has_value()); }

Samples sphere50_with(float x) {
    Samples s = ellipsoid(100, {10, -5, 3}, diag(50, 50, 50));
    s[37].y = x;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Clouds, FitRefuses,
    ::testing::Values(
        NoFitCase{"OriginOutsideSphere", [] { return ellipsoid(200, {30, 0, 0}, diag(20, 20, 20)); }},
        NoFitCase{"NaNSample", [] { return sphere50_with(std::numeric_limits<float>::quiet_NaN()); }},
        NoFitCase{"InfiniteSample", [] { return sphere50_with(std::numeric_limits<float>::infinity()); }},
        NoFitCase{"NegativeInfiniteSample", [] { return sphere50_with(-std::numeric_limits<float>::infinity()); }},
        NoFitCase{"SquareOverflows", [] { return sphere50_with(3e30f); }},
        NoFitCase{"Hyperboloid",  // x² + y² - z² = 30²: a quadric, but not an ellipsoid
                  [] {
                      Samples s;
                      for (int i = 0; i < 200; ++i) {
                          const double u = 0.02 * (i - 100), phi = 0.7 * i;
                          s.push_back({static_cast<float>(30 * std::cosh(u) * std::cos(phi)),
                                       static_cast<float>(30 * std::cosh(u) * std::sin(phi)),
                                       static_cast<float>(30 * std::sinh(u))});
                      }
                      return s;
                  }},
        NoFitCase{"AllZero", [] { return Samples(50, MagnetometerSample{0, 0, 0}); }}),
    [](const auto& param_info) { return param_info.param.name; });

// Flat, linear and single-point clouds at many scales: rounding noise must never be fitted as an ellipsoid.
TEST(Fit, DegenerateCloudsNeverFit) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::normal_distribution<float> gauss;
    for (int trial = 0; trial < 800; ++trial) {
        const float r = std::pow(10.0f, 1.5f + 2.0f * unit(rng));
        const float cx = 0.5f * r * unit(rng), cy = 0.5f * r * unit(rng), cz = 0.5f * r * unit(rng);
        const float a = unit(rng), b = unit(rng), c = unit(rng);
        Samples s;
        for (std::size_t i = 0, n = 10 + rng() % 300; i < n; ++i) {
            const float t = gauss(rng) * r;
            MagnetometerSample m{cx + r * unit(rng), cy + r * unit(rng), cz};
            switch (trial % 4) {
                case 0: break;                                       // plane z = const
                case 1: m.z = a * m.x + b * m.y + cz; break;         // tilted plane
                case 2: m = {cx + a * t, cy + b * t, cz + c * t}; break;  // line
                case 3: m = {cx, cy, cz}; break;                     // one point
            }
            s.push_back(m);
        }
        EXPECT_FALSE(fit_magnetometer_ellipsoid(s).has_value()) << "trial " << trial;
    }
}

// Whatever comes in, the solver returns (no hang, no crash) and never hands out
// non-finite numbers: clouds and outliers from subnormal to near-overflow magnitudes.
TEST(Fit, ArbitraryInputGivesNothingOrFiniteResult) {
    std::mt19937 rng(77);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-150, 127);
    for (int trial = 0; trial < 400; ++trial) {
        const int e = exponent(rng);
        Samples s;
        if (trial % 2 == 0) {
            s.resize(10 + rng() % 40);
            for (auto& m : s) m = {std::ldexp(unit(rng), e), std::ldexp(unit(rng), e), std::ldexp(unit(rng), e)};
        } else {
            const double k = std::ldexp(1.0, std::min(e, 120));  // stays within float range
            s = ellipsoid(10 + rng() % 200, {0.2 * k, -0.1 * k, 0}, diag(k, 0.8 * k, 1.1 * k));
        }
        if (rng() % 3 == 0) s[rng() % s.size()].x = std::ldexp(unit(rng), exponent(rng));
        const auto fit = fit_magnetometer_ellipsoid(s);
        if (fit) {
            EXPECT_TRUE(all_finite(*fit)) << "trial " << trial;
        }
    }
}

}  // namespace
}  // namespace vyre
