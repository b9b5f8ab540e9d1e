// WireFormat.h - the bytes on the wire between the host and the speakerphone,
// in one place for both sides: the session (host) and the device emulator.
//
// A message is an 8-byte header followed by `length` payload bytes:
//
//   byte 0    op        0 set, 1 set acknowledged, 2 get, 3 get reply
//   bytes 1-2 function  16-bit device function, little-endian
//   byte 3    arg       one-byte argument or returned value
//   byte 4    target in a request, status in a response (0 = success)
//   byte 5    0 in a request, detail in a response
//   bytes 6-7 length    payload length, 16-bit little-endian
//
// A message travels as a run of reports of the session's report length, each
// a marker byte and P = report length - 1 message bytes:
//
//   to the device     0x80 first or only, 0x81 middle, 0x82 last
//   from the device   0x83 first or only (carries the header), 0x84 middle,
//                     0x85 last; 0x90-0x9F an event report (type 4: a
//                     response in that one report); 0xA0/0xA1/0xA2 a text
//                     message (2-byte length L, channel, L text bytes)
#ifndef AZK_SUPPORT_WIRE_FORMAT_H
#define AZK_SUPPORT_WIRE_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace azk::wire {

// Report markers.
constexpr uint8_t kMarkerRequestFirst = 0x80;
constexpr uint8_t kMarkerRequestMiddle = 0x81;
constexpr uint8_t kMarkerRequestLast = 0x82;
constexpr uint8_t kMarkerResponseFirst = 0x83;
constexpr uint8_t kMarkerResponseMiddle = 0x84;
constexpr uint8_t kMarkerResponseLast = 0x85;
constexpr uint8_t kMarkerEvent = 0x90;  // low nibble free
constexpr uint8_t kMarkerTextFirst = 0xA0;
constexpr uint8_t kMarkerTextMiddle = 0xA1;
constexpr uint8_t kMarkerTextLast = 0xA2;

// The high nibbles that name a kind of report from the device.
constexpr uint8_t kKindResponse = 0x8;
constexpr uint8_t kKindEvent = 0x9;
constexpr uint8_t kKindText = 0xA;

// An event report whose type byte (report byte 1) is this carries a response.
constexpr uint8_t kEventTypeResponse = 4;

// Message header.
constexpr size_t kHeaderSize = 8;
constexpr size_t kOffsetOp = 0;
constexpr size_t kOffsetFunction = 1;
constexpr size_t kOffsetArg = 3;
constexpr size_t kOffsetTarget = 4;  // in a request
constexpr size_t kOffsetStatus = 4;  // in a response
constexpr size_t kOffsetDetail = 5;  // in a response
constexpr size_t kOffsetLength = 6;
constexpr uint32_t kMaxPayload = 0xFFFF;
constexpr uint32_t kMaxMessage = kHeaderSize + kMaxPayload;

// Ops.
constexpr uint8_t kOpSet = 0;
constexpr uint8_t kOpSetAck = 1;
constexpr uint8_t kOpGet = 2;
constexpr uint8_t kOpGetReply = 3;

// Text message header: length L (2 bytes), channel.
constexpr size_t kTextHeaderSize = 3;

// Device functions both sides name.
constexpr uint16_t kFunctionKeyLock = 0x0036;
constexpr uint16_t kFunctionSetInfo = 0x0900;  // FU_SETINFO
constexpr uint16_t kFunctionFwLoad = 0x0901;   // FU_FWLOAD
constexpr uint16_t kFunctionWriteFw = 0x0903;  // FU_WRITEFW

}  // namespace azk::wire

#endif
