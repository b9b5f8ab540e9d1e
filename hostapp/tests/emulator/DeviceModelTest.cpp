// DeviceModelTest.cpp - the emulated device seen from the wire: literal
// request reports in, literal answer reports out.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ReportSink.h"
#include "emulator/DeviceModel.h"

namespace azk {
namespace {

using Bytes = std::vector<uint8_t>;
using CaptureSink = test::azk_CRecordingSink;

// A report of `length` bytes: the given bytes, then zeros.
Bytes Report(size_t length, Bytes bytes) {
    bytes.resize(length, 0);
    return bytes;
}

// Concatenates the payloads of reports (marker dropped).
Bytes Payloads(const std::vector<Bytes>& reports) {
    Bytes all;
    for (const Bytes& r : reports) all.insert(all.end(), r.begin() + 1, r.end());
    return all;
}

Bytes Markers(const std::vector<Bytes>& reports) {
    Bytes markers;
    for (const Bytes& r : reports) markers.push_back(r[0]);
    return markers;
}

// A function that answers with the request's payload.
void RegisterEcho(azk_CDeviceModel& model, uint16_t function) {
    model.RegisterFunction(function, [](const azk_SRequest& request, azk_SResponse& response) {
        response.arg = request.arg;
        response.payload = request.payload;
    });
}

class DeviceModelTest : public ::testing::Test {
protected:
    explicit DeviceModelTest(size_t reportLength = 16) : model_(reportLength) { model_.SetSink(&sink_); }
    ~DeviceModelTest() override { model_.SetSink(nullptr); }

    void Write(const Bytes& report) { model_.OnOutputReport(report.data(), report.size()); }
    // Writes a one-report request given as its message bytes.
    void WriteRequest(const Bytes& message) {
        Bytes report{0x80};
        report.insert(report.end(), message.begin(), message.end());
        Write(Report(model_.ReportLength(), report));
    }

    CaptureSink sink_;
    azk_CDeviceModel model_;
};

// ------------------------------------------------------------------ key lock

struct Exchange {
    Bytes request;  // message bytes
    Bytes answer;   // message bytes, expected in one 0x83 report
};

class KeyLockTest : public DeviceModelTest, public ::testing::WithParamInterface<size_t> {
protected:
    KeyLockTest() : DeviceModelTest(GetParam()) {}

    void RunScript(const std::vector<Exchange>& script) {
        for (size_t i = 0; i < script.size(); ++i) {
            SCOPED_TRACE("exchange " + std::to_string(i));
            sink_.Clear();
            WriteRequest(script[i].request);
            Bytes expected{0x83};
            expected.insert(expected.end(), script[i].answer.begin(), script[i].answer.end());
            ASSERT_EQ(sink_.Reports(), std::vector<Bytes>{Report(GetParam(), expected)});
        }
    }
};

TEST_P(KeyLockTest, SetAndGetBothTargets) {
    RunScript({
        // Both targets start as SE on, nothing locked.
        {{0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00}},
        {{0x02, 0x36, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, {0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00}},
        // Set in force: SE 1, Call locked.
        {{0x00, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7D, 0x00}, {0x01, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {{0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7D, 0x00}},
        // The default is untouched by that.
        {{0x02, 0x36, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, {0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00}},
        // Writing the default; values pass through unmasked.
        {{0x00, 0x36, 0x00, 0x02, 0x01, 0x00, 0x02, 0x00, 0xFF, 0xFF}, {0x01, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {{0x02, 0x36, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, {0x03, 0x36, 0x00, 0x02, 0x00, 0x00, 0x02, 0x00, 0xFF, 0xFF}},
        {{0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7D, 0x00}},
    });
    EXPECT_EQ(model_.GetKeyLockConfig(0).lockMask, 0x007D);
    EXPECT_EQ(model_.GetKeyLockConfig(1).seFlag, 2);
    EXPECT_EQ(model_.GetKeyLockConfig(1).lockMask, 0xFFFF);
}

TEST_P(KeyLockTest, StateSetByTestIsAnswered) {
    ASSERT_TRUE(model_.SetKeyLockConfig(1, {0, 0x0041}));
    ASSERT_TRUE(model_.SetKeyLockConfig(0, {1, 0x1234}));
    EXPECT_FALSE(model_.SetKeyLockConfig(2, {0, 0}));
    RunScript({
        {{0x02, 0x36, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, {0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x41, 0x00}},
        {{0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x34, 0x12}},
    });
}

TEST_P(KeyLockTest, RefusedRequests) {
    RunScript({
        // Unknown targets.
        {{0x02, 0x36, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}, {0x03, 0x36, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}},
        {{0x00, 0x36, 0x00, 0x00, 0xFF, 0x00, 0x02, 0x00, 0x00, 0x00}, {0x01, 0x36, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}},
        // A set with 3 payload bytes, a get with 1, an op that is no request.
        {{0x00, 0x36, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00}, {0x01, 0x36, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}},
        {{0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}, {0x03, 0x36, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}},
        {{0x05, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x06, 0x36, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}},
        // Functions without a handler.
        {{0x02, 0x35, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x03, 0x35, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}},
        {{0x00, 0x01, 0x12, 0x07, 0x00, 0x00, 0x01, 0x00, 0x09}, {0x01, 0x01, 0x12, 0x00, 0x01, 0x00, 0x00, 0x00}},
    });
    // None of the refused sets changed anything.
    EXPECT_EQ(model_.GetKeyLockConfig(0).lockMask, 0x007F);
    EXPECT_EQ(model_.GetKeyLockConfig(0).seFlag, 1);
    EXPECT_EQ(model_.RequestCount(), 7u);
}

INSTANTIATE_TEST_SUITE_P(ReportLengths, KeyLockTest, ::testing::Values(16u, 64u));

// ------------------------------------------------------- framing both ways

TEST_F(DeviceModelTest, RejectsReportLengthsThatCannotCarryAHeader) {
    EXPECT_THROW(azk_CDeviceModel(8), std::invalid_argument);
    EXPECT_THROW(azk_CDeviceModel(4096), std::invalid_argument);
    EXPECT_NO_THROW(azk_CDeviceModel(9));
}

TEST_F(DeviceModelTest, JoinsARequestOfThreeReports) {
    RegisterEcho(model_, 0x1234);
    // 45 bytes: header (length 37) and payload 01..25 (hex), on 16-byte reports.
    Write(Report(16, {0x80, 0x02, 0x34, 0x12, 0x09, 0x00, 0x00, 0x25, 0x00,
                      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}));
    Write(Report(16, {0x81, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
                      0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16}));
    EXPECT_TRUE(sink_.Reports().empty());
    Write(Report(16, {0x82, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E,
                      0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25}));

    // The echo: 45 bytes back in 0x83, 0x84, 0x85.
    EXPECT_EQ(sink_.Reports(), (std::vector<Bytes>{
        Report(16, {0x83, 0x03, 0x34, 0x12, 0x09, 0x00, 0x00, 0x25, 0x00,
                    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}),
        Report(16, {0x84, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
                    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16}),
        Report(16, {0x85, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E,
                    0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25}),
    }));
}

TEST_F(DeviceModelTest, IgnoresStrayAndForeignReportsAndRestartsOnFirst) {
    RegisterEcho(model_, 0x1234);
    Write(Report(16, {0x81, 0x02, 0x34, 0x12}));
    Write(Report(16, {0x82, 0x02, 0x34, 0x12}));
    Write(Report(16, {0x83, 0x02, 0x34, 0x12}));
    Write(Report(16, {0x00, 0x02, 0x34, 0x12}));
    Write(Report(17, {0x80, 0x02, 0x34, 0x12}));  // wrong length
    Write(Report(15, {0x80, 0x02, 0x34, 0x12}));
    EXPECT_EQ(model_.RequestCount(), 0u);

    // A request of two reports interrupted by a new one-report request.
    Write(Report(16, {0x80, 0x02, 0x34, 0x12, 0x00, 0x00, 0x00, 0x10, 0x00, 0xAA}));
    Write(Report(16, {0x80, 0x02, 0x34, 0x12, 0x00, 0x00, 0x00, 0x01, 0x00, 0xBB}));
    Write(Report(16, {0x82, 0xCC}));  // belongs to nothing now
    EXPECT_EQ(sink_.Reports(), std::vector<Bytes>{
        Report(16, {0x83, 0x03, 0x34, 0x12, 0x00, 0x00, 0x00, 0x01, 0x00, 0xBB})});
    EXPECT_EQ(model_.RequestCount(), 1u);
}

TEST_F(DeviceModelTest, RequestCutShortByItsLastReportIsRefused) {
    RegisterEcho(model_, 0x1234);
    // Declares 40 payload bytes (48 in all) but ends after 30.
    Write(Report(16, {0x80, 0x02, 0x34, 0x12, 0x00, 0x00, 0x00, 0x28, 0x00}));
    Write(Report(16, {0x82}));
    EXPECT_EQ(sink_.Reports(), std::vector<Bytes>{
        Report(16, {0x83, 0x03, 0x34, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00})});
}

TEST_F(DeviceModelTest, ExtraMiddleReportsDoNotGrowTheRequest) {
    RegisterEcho(model_, 0x1234);
    // 9 payload bytes (17 in all): 15 in the first report, 2 more needed.
    Write(Report(16, {0x80, 0x02, 0x34, 0x12, 0x00, 0x00, 0x00, 0x09, 0x00,
                      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}));
    for (int i = 0; i < 1000; ++i) {
        Write(Report(16, {0x81, 0x08, 0x09, 0xEE}));
    }
    Write(Report(16, {0x82, 0xDD, 0xDD}));
    const auto trace = model_.Trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front().bytes, (Bytes{0x02, 0x34, 0x12, 0x00, 0x00, 0x00, 0x09, 0x00,
                                          0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09}));
}

// Requests and echoed answers of every size class around the report bounds.
struct SizeCase {
    size_t reportLength;
    size_t payload;       // request and answer payload length
    Bytes requestMarkers; // as the host cuts it
    Bytes answerMarkers;
};

class FramingSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(FramingSizeTest, EchoRoundTrip) {
    const SizeCase& c = GetParam();
    CaptureSink sink;
    azk_CDeviceModel model(c.reportLength);
    model.SetSink(&sink);
    RegisterEcho(model, 0xABCD);

    Bytes message{0x02, 0xCD, 0xAB, 0x5A, 0x00, 0x00,
                  static_cast<uint8_t>(c.payload), static_cast<uint8_t>(c.payload >> 8)};
    for (size_t i = 0; i < c.payload; ++i) message.push_back(static_cast<uint8_t>(i * 7 + 1));

    const size_t p = c.reportLength - 1;
    const size_t count = c.requestMarkers.size();
    for (size_t i = 0; i < count; ++i) {
        Bytes report(c.reportLength, 0);
        report[0] = c.requestMarkers[i];
        for (size_t j = 0; j < p && i * p + j < message.size(); ++j) report[1 + j] = message[i * p + j];
        model.OnOutputReport(report.data(), report.size());
    }

    const auto reports = sink.Reports();
    if (c.answerMarkers.size() <= 20) {
        EXPECT_EQ(Markers(reports), c.answerMarkers);
    } else {
        ASSERT_EQ(reports.size(), c.answerMarkers.size());
    }
    Bytes expected = message;
    expected[0] = 0x03;
    Bytes got = Payloads(reports);
    ASSERT_GE(got.size(), expected.size());
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(expected.size()), got.end(),
                            [](uint8_t b) { return b == 0; }));
    got.resize(expected.size());
    EXPECT_EQ(got, expected);
    model.SetSink(nullptr);
}

Bytes Run(size_t n) {
    Bytes markers{0x83};
    for (size_t i = 2; i < n; ++i) markers.push_back(0x84);
    markers.push_back(0x85);
    return markers;
}

Bytes RequestRun(size_t n) {
    Bytes markers{0x80};
    for (size_t i = 2; i < n; ++i) markers.push_back(0x81);
    markers.push_back(0x82);
    return markers;
}

INSTANTIATE_TEST_SUITE_P(Sizes, FramingSizeTest, ::testing::Values(
    SizeCase{16, 0, {0x80}, {0x83}},
    SizeCase{16, 7, {0x80}, {0x83}},                    // 15 bytes: one full report
    SizeCase{16, 8, {0x80, 0x82}, {0x83, 0x85}},        // 16 bytes
    SizeCase{16, 22, {0x80, 0x82}, {0x83, 0x85}},       // 30 bytes: two full reports
    SizeCase{16, 23, {0x80, 0x81, 0x82}, {0x83, 0x84, 0x85}},
    SizeCase{64, 55, {0x80}, {0x83}},                   // 63 bytes
    SizeCase{64, 56, {0x80, 0x82}, {0x83, 0x85}},
    SizeCase{64, 118, {0x80, 0x82}, {0x83, 0x85}},      // 126 bytes
    SizeCase{64, 119, {0x80, 0x81, 0x82}, {0x83, 0x84, 0x85}},
    // The largest message: 65543 bytes, 4370 reports of 15 or 1041 of 63.
    SizeCase{16, 65535, RequestRun(4370), Run(4370)},
    SizeCase{64, 65535, RequestRun(1041), Run(1041)}));

// ---------------------------------------------------------------- misbehaviour

struct MisbehaviourCase {
    const char* name;
    azk_SMisbehaviour misbehaviour;
    std::vector<Bytes> reports;  // expected answer to a get of target 0, 16-byte reports
};

azk_SMisbehaviour With(void (*set)(azk_SMisbehaviour&)) {
    azk_SMisbehaviour m;
    set(m);
    return m;
}

class MisbehaviourTest : public DeviceModelTest, public ::testing::WithParamInterface<MisbehaviourCase> {};

TEST_P(MisbehaviourTest, ChangesOnlyTheNextAnswer) {
    model_.MisbehaveOnce(GetParam().misbehaviour);
    const Bytes get{0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    WriteRequest(get);
    EXPECT_EQ(sink_.Reports(), GetParam().reports);

    sink_.Clear();
    WriteRequest(get);
    EXPECT_EQ(sink_.Reports(), std::vector<Bytes>{
        Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00})});
}

INSTANTIATE_TEST_SUITE_P(Kinds, MisbehaviourTest, ::testing::Values(
    MisbehaviourCase{"Silent", With([](azk_SMisbehaviour& m) { m.silent = true; }), {}},
    MisbehaviourCase{"Status", With([](azk_SMisbehaviour& m) { m.status = 0x05; m.detail = 0x01; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x05, 0x01, 0x02, 0x00, 0x7F, 0x00})}},
    MisbehaviourCase{"Op", With([](azk_SMisbehaviour& m) { m.op = 0x01; }),
        {Report(16, {0x83, 0x01, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00})}},
    MisbehaviourCase{"Function", With([](azk_SMisbehaviour& m) { m.function = 0x0035; }),
        {Report(16, {0x83, 0x03, 0x35, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00})}},
    MisbehaviourCase{"OneLonger", With([](azk_SMisbehaviour& m) { m.lengthDelta = 1; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x7F, 0x00, 0x00})}},
    MisbehaviourCase{"OneShorter", With([](azk_SMisbehaviour& m) { m.lengthDelta = -1; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x7F})}},
    MisbehaviourCase{"NegativeLengthStopsAtZero", With([](azk_SMisbehaviour& m) { m.lengthDelta = -100; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00})}},
    // The header promises 8 payload bytes (more than one report holds) but
    // only the 2 real ones are sent, in one report.
    MisbehaviourCase{"HeaderLengthOnly", With([](azk_SMisbehaviour& m) { m.lengthDelta = 6; m.lengthHeaderOnly = true; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x08, 0x00, 0x7F, 0x00})}},
    MisbehaviourCase{"EventReport", With([](azk_SMisbehaviour& m) { m.asEventReport = true; m.eventMarkerNibble = 0x2; }),
        {Report(16, {0x92, 0x04, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00})}},
    MisbehaviourCase{"Split", With([](azk_SMisbehaviour& m) { m.segmentSize = 4; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01}), Report(16, {0x84, 0x00, 0x00, 0x02, 0x00}),
         Report(16, {0x85, 0x7F, 0x00})}},
    MisbehaviourCase{"Reordered", With([](azk_SMisbehaviour& m) { m.segmentSize = 4; m.reportOrder = {2, 0, 1}; }),
        {Report(16, {0x85, 0x7F, 0x00}), Report(16, {0x83, 0x03, 0x36, 0x00, 0x01}),
         Report(16, {0x84, 0x00, 0x00, 0x02, 0x00})}},
    MisbehaviourCase{"Repeated", With([](azk_SMisbehaviour& m) { m.reportOrder = {0, 0, 7}; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00}),
         Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00})}},
    MisbehaviourCase{"StrayContinuations", With([](azk_SMisbehaviour& m) { m.strayContinuations = true; }),
        {Bytes{0x84, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE},
         Bytes{0x85, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE},
         Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00})}},
    // The last 3 of the 10 message bytes are left out; the header still says 2.
    MisbehaviourCase{"CutShort", With([](azk_SMisbehaviour& m) { m.cutBytes = 3; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02})}},
    MisbehaviourCase{"CutShortSplit", With([](azk_SMisbehaviour& m) { m.segmentSize = 4; m.cutBytes = 2; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01}), Report(16, {0x85, 0x00, 0x00, 0x02, 0x00})}},
    MisbehaviourCase{"HalfOfThreeReports", With([](azk_SMisbehaviour& m) { m.segmentSize = 4; m.halfAnswer = true; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01})}},
    MisbehaviourCase{"HalfOfOneReport", With([](azk_SMisbehaviour& m) { m.halfAnswer = true; }), {}},
    MisbehaviourCase{"HalfThenWhole", With([](azk_SMisbehaviour& m) { m.segmentSize = 4; m.halfAnswer = true; m.duplicate = true; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01}), Report(16, {0x83, 0x03, 0x36, 0x00, 0x01}),
         Report(16, {0x84, 0x00, 0x00, 0x02, 0x00}), Report(16, {0x85, 0x7F, 0x00})}},
    MisbehaviourCase{"Duplicate", With([](azk_SMisbehaviour& m) { m.duplicate = true; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00}),
         Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00})}},
    // The second copy's arg and payload differ: a host that took it would
    // report SE 0xFE and mask 0xFF80.
    MisbehaviourCase{"DuplicateAltered", With([](azk_SMisbehaviour& m) { m.duplicate = true; m.duplicateXor = 0xFF; }),
        {Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00}),
         Report(16, {0x83, 0x03, 0x36, 0x00, 0xFE, 0x00, 0x00, 0x02, 0x00, 0x80, 0xFF})}}),
    [](const ::testing::TestParamInfo<MisbehaviourCase>& p) { return std::string(p.param.name); });

TEST_F(DeviceModelTest, LongAnswerInAnEventReportIsCutToOneReport) {
    RegisterEcho(model_, 0x1234);
    azk_SMisbehaviour m;
    m.asEventReport = true;
    model_.MisbehaveOnce(m);
    WriteRequest({0x02, 0x34, 0x12, 0x00, 0x00, 0x00, 0x04, 0x00, 0x0A, 0x0B, 0x0C, 0x0D});
    // 12 message bytes, 15 fit; then a 20-byte one of which 15 fit.
    model_.MisbehaveOnce(m);
    Write(Report(16, {0x80, 0x02, 0x34, 0x12, 0x00, 0x00, 0x00, 0x0C, 0x00,
                      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}));
    Write(Report(16, {0x82, 0x08, 0x09, 0x0A, 0x0B, 0x0C}));
    EXPECT_EQ(sink_.Reports(), (std::vector<Bytes>{
        Report(16, {0x90, 0x04, 0x34, 0x12, 0x00, 0x00, 0x00, 0x04, 0x00, 0x0A, 0x0B, 0x0C, 0x0D}),
        Report(16, {0x90, 0x04, 0x34, 0x12, 0x00, 0x00, 0x00, 0x0C, 0x00,
                    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07})}));
}

TEST_F(DeviceModelTest, OnceQueueScriptsRequestsAheadOfAlways) {
    azk_SMisbehaviour silent;
    silent.silent = true;
    azk_SMisbehaviour status9;
    status9.status = 0x09;
    azk_SMisbehaviour op7;
    op7.op = 0x07;
    model_.MisbehaveAlways(op7);
    model_.MisbehaveOnce(silent);
    model_.MisbehaveOnce(status9);

    const Bytes get{0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    for (int i = 0; i < 4; ++i) WriteRequest(get);
    EXPECT_EQ(sink_.Reports(), (std::vector<Bytes>{
        Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x09, 0x00, 0x02, 0x00, 0x7F, 0x00}),
        Report(16, {0x83, 0x07, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00}),
        Report(16, {0x83, 0x07, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00})}));

    sink_.Clear();
    model_.MisbehaveOnce(silent);
    model_.BehaveNormally();
    WriteRequest(get);
    EXPECT_EQ(sink_.Reports(), std::vector<Bytes>{
        Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00})});
}

TEST_F(DeviceModelTest, MisbehavingAnswerStillCarriesOutTheRequest) {
    azk_SMisbehaviour silent;
    silent.silent = true;
    model_.MisbehaveOnce(silent);
    WriteRequest({0x00, 0x36, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x3E, 0x00});
    EXPECT_TRUE(sink_.Reports().empty());
    EXPECT_EQ(model_.RequestCount(), 1u);
    EXPECT_EQ(model_.GetKeyLockConfig(0).lockMask, 0x003E);
    EXPECT_EQ(model_.GetKeyLockConfig(0).seFlag, 0);
}

TEST_F(DeviceModelTest, LateAnswerComesAfterItsDelayAndAfterLaterAnswers) {
    ASSERT_TRUE(model_.SetKeyLockConfig(1, {0, 0x0011}));
    azk_SMisbehaviour late;
    late.delayMs = 50;
    model_.MisbehaveOnce(late);
    const auto start = std::chrono::steady_clock::now();
    WriteRequest({0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    WriteRequest({0x02, 0x36, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});
    ASSERT_TRUE(sink_.WaitForReports(2));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    // The second request's answer (target 1) went first.
    EXPECT_EQ(sink_.Reports(), (std::vector<Bytes>{
        Report(16, {0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x11, 0x00}),
        Report(16, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00})}));
}

TEST(DeviceModelLifetimeTest, PendingLateAnswerIsDroppedWithTheModel) {
    CaptureSink sink;
    {
        azk_CDeviceModel model(16);
        model.SetSink(&sink);
        azk_SMisbehaviour late;
        late.delayMs = 600000;
        model.MisbehaveAlways(late);
        Bytes report = Report(16, {0x80, 0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
        model.OnOutputReport(report.data(), report.size());
        model.OnOutputReport(report.data(), report.size());
        EXPECT_EQ(model.RequestCount(), 2u);
    }  // joins the timer thread without waiting for the answers
    EXPECT_TRUE(sink.Reports().empty());
}

// ------------------------------------------------------------------- unplug

TEST_F(DeviceModelTest, UnplugsAfterTheNthAnswer) {
    model_.UnplugAfterRequests(2);
    const Bytes get{0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    WriteRequest(get);
    EXPECT_EQ(sink_.Log(), "R");
    EXPECT_FALSE(model_.Unplugged());
    WriteRequest(get);
    EXPECT_EQ(sink_.Log(), "RRU");
    EXPECT_TRUE(model_.Unplugged());

    // Dead from now on.
    WriteRequest(get);
    EXPECT_FALSE(model_.SendEvent(1, 2));
    EXPECT_FALSE(model_.SendText(0, "x"));
    const uint8_t raw[] = {0x90};
    EXPECT_FALSE(model_.SendRawReport(raw, sizeof raw));
    model_.Unplug();
    EXPECT_EQ(sink_.Log(), "RRU");
    EXPECT_EQ(model_.RequestCount(), 2u);
}

TEST_F(DeviceModelTest, UnplugAfterASilentOrLateAnswer) {
    azk_SMisbehaviour silent;
    silent.silent = true;
    model_.MisbehaveOnce(silent);
    model_.UnplugAfterRequests(1);
    WriteRequest({0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(sink_.Log(), "U");

    CaptureSink sink;
    azk_CDeviceModel model(16);
    model.SetSink(&sink);
    azk_SMisbehaviour late;
    late.delayMs = 20;
    model.MisbehaveOnce(late);
    model.UnplugAfterRequests(1);
    Bytes report = Report(16, {0x80, 0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    model.OnOutputReport(report.data(), report.size());
    ASSERT_TRUE(sink.WaitForReports(1));
    // The unplug follows the answer under the same lock: once the answer is
    // there, an Unplug call waits for it and finds the device gone.
    model.Unplug();
    EXPECT_EQ(sink.Log(), "RU");
    model.SetSink(nullptr);
}

// The unplug waits its delay after the answer; the device answers meanwhile.
TEST_F(DeviceModelTest, UnplugWaitsItsDelayAfterTheAnswer) {
    azk_SMisbehaviour delayed;
    delayed.unplugDelayMs = 300;
    model_.MisbehaveOnce(delayed);
    model_.UnplugAfterRequests(1);
    const auto start = std::chrono::steady_clock::now();
    const Bytes get{0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    WriteRequest(get);
    EXPECT_EQ(sink_.Log(), "R");
    EXPECT_FALSE(model_.Unplugged());
    WriteRequest(get);
    EXPECT_EQ(sink_.Log(), "RR");
    for (int i = 0; i < 500 && !model_.Unplugged(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(model_.Unplugged());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(sink_.Log(), "RRU");
}

// ----------------------------------------------------------- events and text

TEST_F(DeviceModelTest, EventReports) {
    EXPECT_TRUE(model_.SendEvent(3, 0x12, 0x34));
    EXPECT_TRUE(model_.SendEvent(1, 0x05, 0x00, 0x0F));
    EXPECT_TRUE(model_.SendEvent(0xFF, 0x00, 0x00, 0x13));  // only the low nibble counts
    EXPECT_EQ(sink_.Reports(), (std::vector<Bytes>{Report(16, {0x90, 0x03, 0x12, 0x34}),
                                                   Report(16, {0x9F, 0x01, 0x05}),
                                                   Report(16, {0x93, 0xFF})}));
}

struct TextCase {
    size_t reportLength;
    std::string text;
    std::vector<Bytes> reports;
};

class TextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextTest, Framing) {
    const TextCase& c = GetParam();
    CaptureSink sink;
    azk_CDeviceModel model(c.reportLength);
    model.SetSink(&sink);
    ASSERT_TRUE(model.SendText(7, c.text));
    EXPECT_EQ(sink.Reports(), c.reports);
    model.SetSink(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Lengths, TextTest, ::testing::Values(
    // L = 1: just the terminator.
    TextCase{16, "", {Report(16, {0xA0, 0x01, 0x00, 0x07, 0x00})}},
    // L = 13 = report length - 3: one report, terminator not sent.
    TextCase{16, "abcdefghijkl", {Bytes{0xA0, 0x0D, 0x00, 0x07, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l'}}},
    // L = 14: two reports, the terminator in the second.
    TextCase{16, "abcdefghijklm", {Bytes{0xA0, 0x0E, 0x00, 0x07, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l'},
                                   Report(16, {0xA2, 'm', 0x00})}},
    // 31 text bytes, L = 32: 35 bytes in three reports.
    TextCase{16, "0123456789012345678901234567890",
             {Bytes{0xA0, 0x20, 0x00, 0x07, '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '1'},
              Bytes{0xA1, '2', '3', '4', '5', '6', '7', '8', '9', '0', '1', '2', '3', '4', '5', '6'},
              Report(16, {0xA2, '7', '8', '9', '0', 0x00})}},
    TextCase{64, "hi", {Report(64, {0xA0, 0x03, 0x00, 0x07, 'h', 'i', 0x00})}}));

TEST_F(DeviceModelTest, LongTextAndItsLimit) {
    const std::string longest(65534, 'x');
    ASSERT_TRUE(model_.SendText(1, longest));
    const auto reports = sink_.Reports();
    // 3 + 65535 bytes in 15-byte pieces.
    ASSERT_EQ(reports.size(), 4370u);
    EXPECT_EQ(reports.front()[1], 0xFF);
    EXPECT_EQ(reports.front()[2], 0xFF);
    // 65538 = 4369 x 15 + 3: the last report carries two letters and the NUL.
    EXPECT_EQ(reports.back(), Report(16, {0xA2, 'x', 'x', 0x00}));
    EXPECT_FALSE(model_.SendText(1, std::string(65535, 'x')));
    EXPECT_EQ(sink_.Reports().size(), 4370u);
}

TEST_F(DeviceModelTest, RawReportsArePaddedOrCut) {
    const Bytes longer(40, 0x84);
    ASSERT_TRUE(model_.SendRawReport(longer.data(), longer.size()));
    const uint8_t shorter[] = {0xA1, 0x01};
    ASSERT_TRUE(model_.SendRawReport(shorter, sizeof shorter));
    EXPECT_EQ(sink_.Reports(), (std::vector<Bytes>{Bytes(16, 0x84), Report(16, {0xA1, 0x01})}));
}

// -------------------------------------------------------------------- trace

TEST_F(DeviceModelTest, TraceRecordsTrafficAsSent) {
    std::vector<azk_ETraceKind> seen;
    model_.SetTraceCallback([&](const azk_STraceEntry& e) { seen.push_back(e.kind); });
    azk_SMisbehaviour m;
    m.status = 0x04;
    m.asEventReport = true;
    model_.MisbehaveOnce(m);
    WriteRequest({0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    model_.SendEvent(2, 1);
    model_.SendText(3, "ok");
    model_.Unplug();

    const auto trace = model_.Trace();
    ASSERT_EQ(trace.size(), 5u);
    EXPECT_EQ(trace[0].kind, azk_ETraceKind::Request);
    EXPECT_EQ(trace[0].bytes, (Bytes{0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(trace[1].kind, azk_ETraceKind::Response);
    EXPECT_EQ(trace[1].bytes, (Bytes{0x04, 0x36, 0x00, 0x01, 0x04, 0x00, 0x02, 0x00, 0x7F, 0x00}));
    EXPECT_EQ(trace[2].kind, azk_ETraceKind::Event);
    EXPECT_EQ(trace[2].bytes, Report(16, {0x90, 0x02, 0x01}));
    EXPECT_EQ(trace[3].kind, azk_ETraceKind::Text);
    EXPECT_EQ(trace[3].bytes, (Bytes{0x03, 0x00, 0x03, 'o', 'k', 0x00}));
    EXPECT_EQ(trace[4].kind, azk_ETraceKind::Unplug);
    EXPECT_EQ(seen, (std::vector<azk_ETraceKind>{azk_ETraceKind::Request, azk_ETraceKind::Response,
                                                 azk_ETraceKind::Event, azk_ETraceKind::Text,
                                                 azk_ETraceKind::Unplug}));

    model_.SetTraceLimit(2);
    EXPECT_EQ(model_.Trace().size(), 2u);
    EXPECT_EQ(model_.Trace().back().kind, azk_ETraceKind::Unplug);
    model_.ClearTrace();
    EXPECT_TRUE(model_.Trace().empty());
}

// ---------------------------------------------------------------- threading

TEST_F(DeviceModelTest, TrafficFromSeveralThreadsStaysWholeAndOrdered) {
    constexpr int kRequests = 300;
    std::thread host([&] {
        for (int i = 0; i < kRequests; ++i) {
            WriteRequest({0x00, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
        }
    });
    std::thread tester([&] {
        azk_SMisbehaviour late;
        late.delayMs = 1;
        for (int i = 0; i < kRequests; ++i) {
            model_.SendEvent(1, static_cast<uint8_t>(i));
            if (i % 50 == 0) model_.MisbehaveOnce(late);
            (void)model_.GetKeyLockConfig(0);
        }
    });
    host.join();
    tester.join();
    ASSERT_TRUE(model_.WaitForRequests(kRequests, 10000));
    ASSERT_TRUE(sink_.WaitForReports(2 * kRequests));

    const auto reports = sink_.Reports();
    ASSERT_EQ(reports.size(), 2u * kRequests);
    const Bytes ack = Report(16, {0x83, 0x01, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    int events = 0;
    for (const Bytes& r : reports) {
        if (r[0] == 0x90) {
            // Events keep their order among themselves.
            EXPECT_EQ(r, Report(16, {0x90, 0x01, static_cast<uint8_t>(events)}));
            ++events;
        } else {
            EXPECT_EQ(r, ack);
        }
    }
    EXPECT_EQ(events, kRequests);
    EXPECT_EQ(model_.GetKeyLockConfig(0).lockMask, kRequests - 1);
}

}  // namespace
}  // namespace azk
