// The magnetometer calibration run: its report, its failure rows on the mock
// serial device, and a whole run against a device on a pseudo-terminal.

#include "runtime/calibration_run.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <numeric>
#include <thread>

#include "device_side.hpp"
#include "runtime/client_runtime.hpp"
#include "test_support.hpp"

namespace vyre {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

struct ReportCase {
    const char* name;
    MagnetometerFit fit;
    const char* text;
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

class Report : public ::testing::TestWithParam<ReportCase> {};

TEST_P(Report, ThreeLinesMatrixByColumns) { EXPECT_EQ(format_calibration_report(GetParam().fit), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Values, Report,
    ::testing::Values(
        ReportCase{"plain",
                   {{1.5f, -2.25f, 0.f}, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
                   "Calibration result:\n"
                   "  b = [1.500000, -2.250000, 0.000000]\n"
                   "  A = [1.000000, 4.000000, 7.000000; 2.000000, 5.000000, 8.000000; 3.000000, 6.000000, 9.000000]\n"},
        // Exact decimal value of the f32, ties to even; no "nan" or "-nan" spelling.
        ReportCase{"special",
                   {{NaN, -NaN, INF}, {-INF, 0.0078125f, 0.1f, -1e-7f, 1e-6f, 123456.789f, 3.4028235e38f, -0.5f, 2.f}},
                   "Calibration result:\n"
                   "  b = [NaN, NaN, inf]\n"
                   "  A = [-inf, -0.000000, 340282346638528859811704183484516925440.000000; "
                   "0.007812, 0.000001, -0.500000; 0.100000, 123456.789062, 2.000000]\n"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

class CalibrationRunTest : public test::MockClient {
protected:
    void ack_write(std::uint8_t accepted = 1) { device.inject_response(6, Bytes{accepted}); }

    bool tap_installed() {
        std::shared_lock lock(runtime->packet_tap()->mutex);
        return runtime->packet_tap()->sender.has_value();
    }

    int reports = 0;
    CalibrationReportSink count_reports = [this](const MagnetometerFit&) { ++reports; };
};

TEST_F(CalibrationRunTest, NeverStartedClientGivesNothingAfterTheApplyTimeout) {
    const auto start = std::chrono::steady_clock::now();
    auto result = runtime->run_magnetometer_calibration(3600.0, 0.2, {}, count_reports);
    ASSERT_TRUE(result.ok()) << result.error().text;
    EXPECT_FALSE(result.value().has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 190ms);  // no collection happened: far below an hour
    EXPECT_FALSE(runtime->calibration_in_progress());
    EXPECT_EQ(reports, 0);
}

TEST_F(CalibrationRunTest, NoTelemetryGivesNoFitAndLeavesTheSecondAcknowledgementPending) {
    ASSERT_TRUE(runtime->start().ok());
    ack_write();
    ack_write();
    auto result = runtime->run_magnetometer_calibration(0.0, 10.0, {}, count_reports);
    ASSERT_TRUE(result.ok()) << result.error().text;
    EXPECT_FALSE(result.value().has_value());
    EXPECT_EQ(reports, 0);
    EXPECT_EQ(identifiers(), std::vector<std::uint16_t>{6});  // the neutral reset only
    EXPECT_FALSE(tap_installed());
    // The second acknowledgement is still there for the next write.
    auto next = runtime->set_magnetometer_calibration(NEUTRAL_MAGNETOMETER_OFFSETS, NEUTRAL_MAGNETOMETER_MATRIX, 0.0);
    ASSERT_TRUE(next.ok());
    EXPECT_TRUE(next.value());
}

struct TimeCase {
    const char* name;
    double collection, apply;
    const char* text;
};

void PrintTo(const TimeCase& c, std::ostream* os) { *os << c.name; }

class ImpossibleTimes : public CalibrationRunTest, public ::testing::WithParamInterface<TimeCase> {};

TEST_P(ImpossibleTimes, FaultBeforeAnythingIsSent) {
    ASSERT_TRUE(runtime->start().ok());
    ack_write();
    auto result = runtime->run_magnetometer_calibration(GetParam().collection, GetParam().apply, {}, count_reports);
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(result.error().is_internal());
    EXPECT_EQ(result.error().text, GetParam().text);
    EXPECT_EQ(identifiers(300), std::vector<std::uint16_t>{});
}

INSTANTIATE_TEST_SUITE_P(
    Values, ImpossibleTimes,
    ::testing::Values(TimeCase{"negative_collection", -1.0, 5.0, NEGATIVE_DURATION_TEXT},
                      // the collection time is converted first
                      TimeCase{"both_bad", -1.0, std::nan(""), NEGATIVE_DURATION_TEXT},
                      TimeCase{"infinite_apply", 1.0, std::numeric_limits<double>::infinity(), INVALID_DURATION_TEXT}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(CalibrationRunTest, InterruptDuringCollectionEndsTheRunAndWritesNothing) {
    ASSERT_TRUE(runtime->start().ok());
    const std::size_t threads = test::thread_count();
    ack_write();
    ack_write();
    int polls = 0;
    auto result = runtime->run_magnetometer_calibration(
        3600.0, 10.0, [&] { return runtime->calibration_in_progress() && ++polls == 3; }, count_reports);
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(result.error().is_interrupted());
    EXPECT_EQ(polls, 3);
    EXPECT_FALSE(runtime->calibration_in_progress());
    EXPECT_FALSE(tap_installed());
    EXPECT_EQ(test::thread_count_settling_to(threads), threads);  // the worker was joined
    EXPECT_EQ(reports, 0);
    EXPECT_EQ(identifiers(), std::vector<std::uint16_t>{6});
}

TEST_F(CalibrationRunTest, ASecondRunFailsAfterItsResetAndKeepsTheFirst) {
    ASSERT_TRUE(runtime->start().ok());
    ASSERT_TRUE(runtime->start_calibration().ok());
    ack_write();
    auto result = runtime->run_magnetometer_calibration(0.0, 10.0, {}, count_reports);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().text, CALIBRATION_IN_PROGRESS_TEXT);
    EXPECT_EQ(result.error().kind, Error::Kind::Message);
    EXPECT_EQ(identifiers(), std::vector<std::uint16_t>{6});
    EXPECT_TRUE(runtime->calibration_in_progress());
    EXPECT_TRUE(tap_installed());
    auto finished = runtime->finish_calibration();
    ASSERT_TRUE(finished.ok());
    EXPECT_FALSE(finished.value().has_value());  // no telemetry came
    EXPECT_FALSE(tap_installed());
}

TEST_F(CalibrationRunTest, StopAndDestructionFinishARecordedRun) {
    const std::size_t threads = test::thread_count();
    ASSERT_TRUE(runtime->start().ok());
    ASSERT_TRUE(runtime->start_calibration().ok());
    ASSERT_TRUE(runtime->stop().ok());
    EXPECT_FALSE(runtime->calibration_in_progress());
    EXPECT_FALSE(tap_installed());
    EXPECT_EQ(test::thread_count_settling_to(threads), threads);
    EXPECT_FALSE(runtime->take_error().has_value());

    ASSERT_TRUE(runtime->start().ok());
    ASSERT_TRUE(runtime->start_calibration().ok());
    runtime.reset();
    EXPECT_EQ(test::thread_count_settling_to(threads), threads);
}

// Row-major 3x3 times a vector.
template <class M, class V>
std::array<double, 3> times(const M& m, const V& v) {
    std::array<double, 3> out{};
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c) out[r] += m[r * 3 + c] * v[c];
    return out;
}

// A device that streams telemetry whose field lies on a known ellipsoid,
// acknowledges every calibration write and keeps what was written.
TEST(CalibrationOnAPseudoTerminal, AppliedCalibrationRecoversTheDistortion) {
    const std::array<double, 3> centre{12.0, -7.0, 4.0};
    const std::array<double, 9> soft_iron{1.20, 0.10, 0.05, 0.10, 0.90, -0.08, 0.05, -0.08, 1.05};
    std::vector<std::array<float, 3>> fields;
    for (int k = 0; k < 500; ++k) {  // radius 45 µT, directions spread evenly over the sphere
        const double z = 1.0 - (2.0 * k + 1.0) / 500, phi = k * 2.399963229728653, rho = std::sqrt(1.0 - z * z);
        const auto bent = times(soft_iron, std::array<double, 3>{rho * std::cos(phi), rho * std::sin(phi), z});
        fields.push_back({static_cast<float>(centre[0] + 45.0 * bent[0]), static_cast<float>(centre[1] + 45.0 * bent[1]),
                          static_cast<float>(centre[2] + 45.0 * bent[2])});
    }

    test::PtyDevice pty;
    auto runtime = test::open_client(pty);
    ASSERT_TRUE(runtime->start().ok());

    std::atomic<bool> streaming{true};
    std::vector<Bytes> written;  // read after the device thread is joined
    std::thread device([&] {
        test::FrameSplitter frames;
        auto next = std::chrono::steady_clock::now();
        for (std::size_t k = 0; streaming.load();) {
            frames.append(test::read_available(pty.master(), 1));
            while (auto frame = frames.next()) {
                if (frame->header != COMMAND_HEADER || frame->identifier != 6) continue;
                written.push_back(frame->payload);
                pty.write(test::response_frame(6, {1}));
            }
            if (std::chrono::steady_clock::now() < next) continue;
            Bytes burst;  // ten samples every 10 ms
            for (int i = 0; i < 10; ++i, ++k) {
                TelemetryFields sample = test::sample_at(static_cast<double>(k) * 1e-3);
                const auto& m = fields[k % fields.size()];
                sample.magnetic_field_x_microteslas = m[0];
                sample.magnetic_field_y_microteslas = m[1];
                sample.magnetic_field_z_microteslas = m[2];
                FramedPacket::make(DATA_HEADER, 0, test::telemetry_payload(sample)).append_to(burst);
            }
            pty.write(burst);
            next += 10ms;
        }
    });

    ::testing::internal::CaptureStdout();  // descriptor 1, where the report goes
    auto result = runtime->run_magnetometer_calibration(1.0, 10.0);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    streaming = false;
    device.join();
    ASSERT_TRUE(result.ok()) << result.error().text;
    EXPECT_EQ(result.value(), std::optional<bool>(true));

    ASSERT_EQ(written.size(), 2u);
    std::array<float, 12> values[2];
    for (std::size_t w = 0; w < 2; ++w)
        for (std::size_t i = 0; i < 12; ++i) values[w][i] = read_f32_le(written[w].data() + 4 * i);
    EXPECT_EQ(values[0], (std::array<float, 12>{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1}));  // the neutral reset
    MagnetometerFit fit{};
    std::copy_n(values[1].begin(), 3, fit.offsets.begin());
    std::copy_n(values[1].begin() + 3, 9, fit.scale_matrix.begin());
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(fit.offsets[i], centre[i], 0.5) << "offset " << i;
    // Corrected, every sample lies on one sphere.
    std::vector<double> lengths;
    for (const auto& m : fields) {
        const auto c = times(fit.scale_matrix, std::array<double, 3>{m[0] - fit.offsets[0], m[1] - fit.offsets[1],
                                                                     m[2] - fit.offsets[2]});
        lengths.push_back(std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]));
    }
    const double mean = std::accumulate(lengths.begin(), lengths.end(), 0.0) / static_cast<double>(lengths.size());
    for (double length : lengths) ASSERT_NEAR(length, mean, 0.01 * mean);
    EXPECT_EQ(printed, format_calibration_report(fit));  // what was printed is what was written
}

}  // namespace
}  // namespace vyre
