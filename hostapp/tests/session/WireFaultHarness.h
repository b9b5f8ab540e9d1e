// WireFaultHarness.h - an emulated device and a session on it, for the wire
// fault tests that run the same on the sim bus and over vhid. Each test
// program links one harness (WireFaultSim.cpp or WireFaultVhid.cpp).
#ifndef AZK_TESTS_WIRE_FAULT_HARNESS_H
#define AZK_TESTS_WIRE_FAULT_HARNESS_H

#include <memory>

#include "emulator/DeviceModel.h"
#include "session/SessionApi.h"

namespace azk::test {

class WireFaultHarness {
public:
    virtual ~WireFaultHarness() = default;
    // The emulated device (16-byte reports), published before the session
    // is created.
    virtual azk_CDeviceModel& Model() = 0;
    // Creates a session of variant 1 on the device; null on failure.
    virtual SessionHandle Create(SessionEventCallback callback) = 0;
    // Waits until the host has read every report the device sent so far.
    // False where the transport cannot tell.
    virtual bool Quiesce() = 0;
};

// The harness of this test program.
std::unique_ptr<WireFaultHarness> MakeWireFaultHarness();

}  // namespace azk::test

#endif
