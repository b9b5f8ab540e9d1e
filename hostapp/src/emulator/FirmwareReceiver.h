// FirmwareReceiver.h - the emulated speakerphone's side of a firmware update.
//
// FU_SETINFO (0x0900) announces the kind code, the image size and the data
// CRC, and starts a new update; each FU_FWLOAD (0x0901) stages one transfer
// block after checking its CRC and that it starts where the committed bytes
// end; each FU_WRITEFW (0x0903) commits the staged block. After the block
// that completes the announced size is committed, the receiver checks the
// whole image as the device would: the header (magic matching the announced
// kind code, format number, header CRC, total length), the announced data
// CRC against the header's, and the data CRC over the descrambled prologue
// and body. Only then is the update done; a rejected image is answered with
// kStatusImageRejected, on that commit and on every repeat of it.
//
// A repeated FU_FWLOAD of the block not yet committed stages it again, and a
// repeated FU_WRITEFW after a commit is acknowledged again (its first
// acknowledgement may have been lost), so the host's retries are harmless.
//
// Misbehaviour per step, for the host's retry paths: the next N requests of
// one function can be refused with a status, acknowledged with a wrong
// header, or left unanswered; such a request is not carried out. Faults of
// one function are used up in the order they were added.
//
// Threads: the handlers run on the model's traffic thread; the other calls
// may come from any thread.
#ifndef AZK_EMULATOR_FIRMWARE_RECEIVER_H
#define AZK_EMULATOR_FIRMWARE_RECEIVER_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/DeviceModel.h"
#include "support/WireFormat.h"

namespace azk {

class azk_CFirmwareReceiver {
public:
    static constexpr uint16_t kFunctionSetInfo = wire::kFunctionSetInfo;
    static constexpr uint16_t kFunctionFwLoad = wire::kFunctionFwLoad;
    static constexpr uint16_t kFunctionWriteFw = wire::kFunctionWriteFw;

    // Device statuses of refused firmware requests.
    static constexpr uint8_t kStatusNotAnnounced = 0x20;  // no FU_SETINFO before
    static constexpr uint8_t kStatusBadBlockCrc = 0x21;
    static constexpr uint8_t kStatusBadOffset = 0x22;     // not the next block, or past the size
    static constexpr uint8_t kStatusNothingStaged = 0x23;
    static constexpr uint8_t kStatusImageRejected = 0x24; // whole-image check failed
    static constexpr uint8_t kStatusTooLarge = 0x25;
    static constexpr uint8_t kStatusBadRequest = 0x26;

    // The largest image the emulated device takes.
    static constexpr uint32_t kMaxImageSize = 64u * 1024 * 1024;

    struct State {
        bool announced = false;
        uint8_t kindCode = 0;
        uint32_t size = 0;
        uint16_t dataCrc = 0;
        uint32_t committed = 0;   // bytes committed so far
        uint32_t blocks = 0;      // blocks committed
        bool complete = false;    // every announced byte committed
        bool verified = false;    // and the whole image passed its check
        std::string rejection;    // why it did not, when it did not
    };

    // Called once per update that completes, with its final state (verified,
    // or rejected with the reason), on the model's traffic thread with the
    // model's lock held: it must not call back into the model or the
    // receiver.
    using OutcomeCallback = std::function<void(const State&)>;

    // Registers the three firmware functions on `model`; the receiver must
    // outlive its registration (the destructor removes it).
    explicit azk_CFirmwareReceiver(azk_CDeviceModel& model);
    ~azk_CFirmwareReceiver();
    azk_CFirmwareReceiver(const azk_CFirmwareReceiver&) = delete;
    azk_CFirmwareReceiver& operator=(const azk_CFirmwareReceiver&) = delete;

    // The next `times` requests of `function` are refused with this status
    // and detail (and not carried out).
    void FailStep(uint16_t function, uint32_t times, uint8_t status, uint8_t detail = 0);
    // The next `times` requests of `function` are acknowledged with a wrong
    // header (one payload byte too many), and not carried out.
    void BadHeaderStep(uint16_t function, uint32_t times);
    // The next `times` requests of `function` get no answer at all, and are
    // not carried out.
    void SilenceStep(uint16_t function, uint32_t times);

    void SetOutcomeCallback(OutcomeCallback callback);

    State Snapshot() const;
    std::vector<uint8_t> Image() const;  // the bytes committed so far

    // The kind code announced for a magic ("FWUP" 0, "UASP" 1, "DSPA" 3);
    // false for any other magic.
    static bool KindCodeOfMagic(const uint8_t* magic, uint8_t& kindCode);

    // CRC-16/GENIBUS, computed bit by bit as the device firmware does.
    static uint16_t Crc16(const uint8_t* bytes, size_t length, uint16_t previous);

private:
    enum class FaultKind { Status, BadHeader, Silent };
    struct Fault {
        uint16_t function;
        uint32_t times;
        FaultKind kind;
        uint8_t status;
        uint8_t detail;
    };

    void Handle(const azk_SRequest& request, azk_SResponse& response);
    void AddFault(const Fault& fault);
    bool TakeFault(uint16_t function, azk_SResponse& response);
    void SetInfo(const azk_SRequest& request, azk_SResponse& response);
    void FwLoad(const azk_SRequest& request, azk_SResponse& response);
    // True when this commit completed the update.
    bool WriteFw(const azk_SRequest& request, azk_SResponse& response);
    void VerifyImage();

    azk_CDeviceModel& model_;
    mutable std::mutex mutex_;
    State state_;
    std::vector<uint8_t> image_;
    std::vector<uint8_t> staged_;
    bool hasStaged_ = false;
    std::vector<Fault> faults_;
    OutcomeCallback outcome_;
};

}  // namespace azk

#endif
