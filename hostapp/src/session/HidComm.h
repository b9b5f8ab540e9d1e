// HidComm.h - a session: the transport of azk_CHidCommBase plus the command
// table, which maps each command id to the handler that runs it.
#ifndef AZK_SESSION_HID_COMM_H
#define AZK_SESSION_HID_COMM_H

#include <cstdint>

#include "transport/HidCommBase.h"

namespace azk {

namespace catalogue {
struct Row;
}

class azk_CHidComm final : public azk_CHidCommBase {
public:
    using Handler = int32_t (azk_CHidComm::*)(void* block);

    // One entry of the command table: a command with a handler of its own
    // (`handler`), or a catalogue row (`row`) that RunCatalogueRow runs.
    struct Command {
        int32_t id;
        Handler handler;
        const catalogue::Row* row;
    };

    // Looks the command up in the table and runs it under the session lock,
    // then copies the status pair out. Unknown ids give -5.
    int32_t Exec(int32_t commandId, void* block, int32_t* statusPair) override;

    // Key lock, function 0x0036 (commands 29 and 30).
    int32_t SetKeyLockConfig(void* block);
    int32_t GetKeyLockConfig(void* block);

    // The generic handler of the catalogue commands (Catalogue.h).
    int32_t RunCatalogueRow(const catalogue::Row& row, void* block);
    // Command 82: sends the caller's whole message and copies the whole
    // response back (Catalogue.cpp).
    int32_t RawMessage(void* block);

    // Command 64: checks the firmware image of a SessionFirmwareUpdateBlock
    // and sends it to the device (FirmwareUpdate.cpp).
    int32_t FirmwareUpdate(void* block);
    int32_t RunUpdateSequence(const uint8_t* image, uint32_t imageSize, int32_t kind,
                              SessionProgressCallback progress, int32_t userValue);

    struct UpdateStep;

private:
    // Runs the attempts of one firmware update step with the request in the
    // request buffer: 0, or the result of the last failed attempt.
    int32_t RunUpdateStep(const UpdateStep& step, uint32_t size);

    // Clears the first output report's worth of the request buffer and writes
    // the 8-byte message header; returns the request buffer.
    uint8_t* BeginRequest(uint8_t op, uint16_t function, uint8_t arg, uint8_t target,
                          uint16_t length);
    // -12 unless the response has this length, op and function.
    int32_t CheckResponse(uint16_t length, uint8_t op, uint16_t function) const;
};

}  // namespace azk

#endif
