// Test support: devices on the sim bus that answer with scripted reports.
#ifndef AZK_TESTS_SIM_TEST_SUPPORT_H
#define AZK_TESTS_SIM_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <vector>

#include "transport/platform/sim/SimPlatform.h"

namespace azk::test {

using Bytes = std::vector<uint8_t>;

// `bytes` followed by zeros up to `length` bytes.
Bytes Padded(std::initializer_list<uint8_t> bytes, size_t length);
Bytes Padded(const Bytes& bytes, size_t length);

// A report as the sim bus carries it: report ID 0, then `bytes`, zero-padded
// to reportLength + 1 bytes.
Bytes BusReport(std::initializer_list<uint8_t> bytes, size_t reportLength = 16);
Bytes BusReport(const Bytes& bytes, size_t reportLength = 16);

// A device on the sim bus that, when the host has written a whole request
// (a 0x80 report whose header says it fits, or a 0x82 report), sends the
// next scripted answer: a list of bus reports, possibly empty (silence).
// Requests beyond the script get no answer.
class ScriptedDevice {
public:
    explicit ScriptedDevice(std::shared_ptr<sim::SimDevice> device);
    ~ScriptedDevice();

    void Script(std::vector<Bytes> answer);  // appends one answer
    sim::SimDevice& Device() { return *device_; }
    std::shared_ptr<sim::SimDevice> Shared() { return device_; }
    size_t RequestsSeen() const;

private:
    void OnReport(const uint8_t* report, size_t length);

    std::shared_ptr<sim::SimDevice> device_;
    mutable std::mutex mutex_;
    std::deque<std::vector<Bytes>> script_;
    size_t requests_ = 0;
};

// Clears the sim bus before and after each test.
class SimBusTest : public ::testing::Test {
protected:
    void SetUp() override { sim::SimBus::Instance().Clear(); }
    void TearDown() override { sim::SimBus::Instance().Clear(); }

    // The speakerphone of this build on the bus: variant 1 (16-byte reports)
    // or 2 (64-byte reports).
    static std::shared_ptr<sim::SimDevice> AddSpeakerphone(int variant = 1, bool numbered = false);
};

}  // namespace azk::test

#endif
