// EmulatorOptions.h - the command line of the DeviceEmulator tool: what
// devices to publish, how they behave, and what to run against them.
//
// Device options describe one device; "--device" ends that description and
// starts the next one, from the defaults again. Without any device option
// there is one default device. ParseEmulatorArguments touches nothing: the
// tool (EmulatorTool.h) publishes what it describes.
#ifndef AZK_EMULATOR_EMULATOR_OPTIONS_H
#define AZK_EMULATOR_EMULATOR_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/DeviceModel.h"
#include "emulator/VhidServer.h"

namespace azk {

// Most devices one run publishes.
constexpr uint32_t kEmulatorMaxDevices = 64;

// Something the device sends on its own: an event report or a text message.
struct azk_SEmulatedTraffic {
    bool isText = false;
    uint8_t type = 0;     // event type
    uint16_t value = 0;   // event value: byte 2 (type 3: bytes 2-3, high byte first)
    uint8_t channel = 0;  // text channel
    std::string text;
    // 0: each time a host connects, right after the hello. N: once, as soon
    // as the N-th request has been received (after its answer unless that
    // is late).
    uint32_t afterRequests = 0;
};

// A misbehaviour of the device's firmware receiver (FirmwareReceiver.h):
// the next `times` requests of one firmware step are refused with `status`,
// acknowledged with a wrong header, or left unanswered.
struct azk_SFirmwareFault {
    enum class Kind { Status, BadHeader, Silent };
    Kind kind = Kind::Status;
    uint16_t function = 0;  // 0x0900 FU_SETINFO, 0x0901 FU_FWLOAD, 0x0903 FU_WRITEFW
    uint32_t times = 0;
    uint8_t status = 0;
};

struct azk_SDeviceDescription {
    std::string name;  // socket file name without ".sock"; empty: devNN by position
    uint32_t copies = 1;
    int variant = 1;  // 1: 16-byte reports, 2: 64-byte reports
    bool numbered = true;
    std::optional<uint16_t> vendorId;   // default AZK_VENDOR_ID
    std::optional<uint16_t> productId;  // default AZK_PRODUCT_ID (+1 for variant 2)
    uint16_t versionNumber = 0x0100;
    azk_SKeyLockConfig inForce;
    azk_SKeyLockConfig byDefault;
    azk_EVhidMode mode = azk_EVhidMode::Serve;
    std::string vhidJunkList;             // --vhid-junk as given
    std::vector<azk_SVhidJunk> vhidJunk;  // parsed from it
    std::optional<azk_SMisbehaviour> always;
    std::vector<azk_SMisbehaviour> once;
    uint32_t unplugAfter = 0;
    std::vector<azk_SEmulatedTraffic> traffic;
    std::vector<azk_SFirmwareFault> firmwareFaults;  // used up in this order per step

    size_t ReportLength() const { return variant == 2 ? 64 : 16; }
    uint16_t VendorId() const;
    uint16_t ProductId() const;
};

struct azk_SEmulatorConfig {
    bool help = false;
    bool serve = false;
    bool uhid = false;
    bool trace = false;
    std::string directory;  // --dir, with --serve only
    std::vector<azk_SDeviceDescription> devices;
    std::vector<std::string> command;  // after "--"
};

// Exit statuses of the tool itself.
constexpr int kEmulatorExitUsage = 2;      // bad command line
constexpr int kEmulatorExitFailure = 125;  // the devices could not be published (run mode)
constexpr int kEmulatorExitCannotRun = 126;
constexpr int kEmulatorExitNotFound = 127;

// Parses the words after the program name. Returns false with a one-line
// message in `error` for a bad command line. "--help" ends parsing at once.
bool ParseEmulatorArguments(const std::vector<std::string>& args, azk_SEmulatorConfig& config,
                            std::string& error);

// Parses one misbehaviour list ("silent", "status=5,detail=1", ...) into
// `misbehaviour`; "unplug-after=N" goes to `unplugAfter`.
bool ParseMisbehaviour(const std::string& list, azk_SMisbehaviour& misbehaviour, uint32_t& unplugAfter,
                       std::string& error);

// Parses a --vhid-junk list ("empty,length=3,foreign-id=7") into `junk`.
// `numbered` and `messageLength` (the input report's message length) say
// which items make sense: a length other than the message's, another ID
// than the input report's on a numbered device.
bool ParseVhidJunk(const std::string& list, bool numbered, size_t messageLength, std::vector<azk_SVhidJunk>& junk,
                   std::string& error);

// The usage text printed by --help.
std::string EmulatorUsage();

// The socket file names of the devices, in the order they are published
// ("dev00.sock", ...; NAME.sock, or NAME-NN.sock for copies).
std::vector<std::string> DeviceSocketNames(const azk_SEmulatorConfig& config);

}  // namespace azk

#endif
