// Catalogue.h - the device commands that follow one pattern, kept as data.
//
// Each row is one command: a set or get of one device function. The generic
// handler (azk_CHidComm::RunCatalogueRow, Catalogue.cpp) reads a row and
//   1. refuses a null block, and a block that asks for more than the request
//      or reply can carry, with -10 before anything is sent or written;
//   2. clears the first output report's worth of the request buffer, writes
//      the header (op, function, arg from block 0 or 0, target from the
//      target field's low byte or 0, length) and the payload: the block run
//      `request`, then the transfer's N data bytes, if any;
//   3. sends it and waits `timeoutMs`; a failure is returned unchanged;
//   4. checks the reply's length (`reply`, plus N when the transfer's data
//      comes back in the reply), op (set 1, get 3) and function: -12;
//   5. copies the reply into the block (`copies`, text fields with a NUL
//      after them) and the transfer's data into the caller's buffer.
// Nothing is written to the block or a caller buffer before step 4 passed,
// except for the one row marked `copyBeforeChecks` (command 58).
//
// Command 82 (raw message) does not fit and has its own handler; commands 29
// and 30 (key lock) and 64 (firmware update) have theirs.
#ifndef AZK_SESSION_CATALOGUE_H
#define AZK_SESSION_CATALOGUE_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "session/SessionApi.h"

namespace azk::catalogue {

enum class Op : uint8_t { Set = 0, Get = 2 };
enum class Arg : uint8_t { Zero, Block0 };      // the request's arg: 0 or block 0
enum class Target : uint8_t { Zero, Field };    // the request's target: 0 or block 80

// Block bytes [offset, offset + size) sent in this order.
struct Run {
    uint8_t offset = 0;
    uint8_t size = 0;
};

// Reply bytes copied into the block: `size` bytes from payload `from` (or the
// reply's arg byte) to block `to`; a text field adds a NUL at block to + size.
struct Copy {
    uint16_t from = 0;
    uint8_t to = 0;
    uint8_t size = 0;  // 0: unused slot
    bool nul = false;
};
constexpr uint16_t kFromReplyArg = 0xFFFF;

// The variable part of a command: N data bytes beyond the fixed fields.
enum class Data : uint8_t {
    None,
    CallerToRequest,  // N bytes of the caller buffer follow the request run
    BlockToRequest,   // N bytes of the block, from block `at` on, follow the request run
    ReplyToCaller,    // N bytes of the reply, after its `reply` fixed bytes, go to the caller buffer
};
enum class CountKind : uint8_t { None, Fixed, Byte, Word };

struct Count {
    CountKind kind = CountKind::None;
    uint16_t value = 0;  // Fixed: the count; Byte, Word: its block offset (u8, u16 LE)
};

struct Transfer {
    Data data = Data::None;
    Count count;
    uint8_t at = 0;  // caller data: the pointer field's offset; block data: the first byte
};

struct Row {
    int32_t id = 0;
    Op op = Op::Get;
    uint16_t function = 0;
    Arg arg = Arg::Zero;
    Target target = Target::Field;
    Run request;             // fixed request payload
    uint32_t timeoutMs = 0;
    uint16_t reply = 0;      // fixed reply length
    Copy copies[4] = {};     // reply bytes to the block
    Transfer transfer;       // data bytes to or from a caller buffer or the block
    bool copyBeforeChecks = false;

    constexpr Row With(Transfer t) const {
        Row row = *this;
        row.transfer = t;
        return row;
    }
    constexpr Row CopyingBeforeChecks() const {
        Row row = *this;
        row.copyBeforeChecks = true;
        return row;
    }
};

// ------------------------------------------------------------ row vocabulary

constexpr Op kSet = Op::Set;
constexpr Op kGet = Op::Get;
constexpr Arg kArg0 = Arg::Zero;
constexpr Arg kArgB0 = Arg::Block0;
constexpr Target kT0 = Target::Zero;
constexpr Target kT = Target::Field;
constexpr Run kNone{};

constexpr Run Req(uint8_t offset, uint8_t size) { return Run{offset, size}; }

constexpr Row R(int32_t id, Op op, uint16_t function, Arg arg, Target target, Run request, uint32_t timeoutMs,
                uint16_t reply, std::initializer_list<Copy> copies) {
    Row row;
    row.id = id;
    row.op = op;
    row.function = function;
    row.arg = arg;
    row.target = target;
    row.request = request;
    row.timeoutMs = timeoutMs;
    row.reply = reply;
    size_t i = 0;
    for (const Copy& copy : copies) {
        if (i < 4) row.copies[i] = copy;
        ++i;
    }
    if (i > 4) row.id = -1;  // more copies than a row holds: fails the checks below
    return row;
}
// Bytes (numbers included) copied as they come.
constexpr Copy Field(uint16_t from, uint8_t to, uint8_t size) { return Copy{from, to, size, false}; }
// A text field: the bytes as they come, then a NUL in the block.
constexpr Copy Text(uint16_t from, uint8_t to, uint8_t size) { return Copy{from, to, size, true}; }
// The reply's arg byte to block 0.
constexpr Copy ArgTo0() { return Copy{kFromReplyArg, 0, 1, false}; }

constexpr Count Fixed(uint16_t n) { return Count{CountKind::Fixed, n}; }
constexpr Count ByteAt(uint8_t offset) { return Count{CountKind::Byte, offset}; }
constexpr Count WordAt(uint8_t offset) { return Count{CountKind::Word, offset}; }

constexpr Transfer FromCaller(Count n, uint8_t pointerAt) { return Transfer{Data::CallerToRequest, n, pointerAt}; }
constexpr Transfer ToCaller(Count n, uint8_t pointerAt) { return Transfer{Data::ReplyToCaller, n, pointerAt}; }
constexpr Transfer FromBlock(Count n, uint8_t at) { return Transfer{Data::BlockToRequest, n, at}; }

constexpr uint8_t kCommandArea = 80;  // block 0-79; the target field follows

// ------------------------------------------------------------ the rows
//
// Columns: id, op, function, arg, target, request payload (block run),
// time-out (ms), reply length (fixed part), copied back, then for the
// transfers the data part: count and where the data comes from or goes to.

inline constexpr Row kRows[] = {
    // group 0x00
    R(0, kGet, 0x0000, kArgB0, kT, Req(1, 3), 5000, 3, {Field(0, 4, 2), Field(2, 6, 1)}),
    R(1, kSet, 0x0001, kArgB0, kT, kNone, 5000, 0, {}),
    R(2, kGet, 0x0001, kArg0, kT, kNone, 5000, 0, {ArgTo0()}),
    R(3, kSet, 0x0003, kArg0, kT, kNone, 5000, 0, {}),
    R(4, kSet, 0x0004, kArgB0, kT, kNone, 60000, 0, {}),
    R(5, kGet, 0x0005, kArg0, kT, kNone, 5000, 76,
     {Text(0, 0, 40), Text(40, 41, 4), Text(44, 46, 16), Text(60, 63, 16)}),
    R(6, kGet, 0x0006, kArgB0, kT, kNone, 5000, 16, {Text(0, 4, 16)}),
    R(7, kGet, 0x0007, kArg0, kT, kNone, 5000, 8, {Field(0, 0, 4), Field(4, 4, 4)}),
    R(8, kGet, 0x0009, kArgB0, kT, kNone, 5000, 1, {Field(0, 1, 1)}),
    R(9, kSet, 0x000A, kArgB0, kT, kNone, 5000, 0, {}),
    R(10, kGet, 0x000A, kArg0, kT, kNone, 5000, 0, {ArgTo0()}),
    R(11, kSet, 0x000C, kArgB0, kT, Req(1, 1), 5000, 0, {}),
    R(12, kSet, 0x000D, kArgB0, kT, kNone, 5000, 0, {}),
    R(13, kGet, 0x000D, kArg0, kT, kNone, 5000, 0, {ArgTo0()}),
    R(14, kSet, 0x000F, kArg0, kT, Req(0, 4), 5000, 0, {}),
    R(15, kGet, 0x000F, kArg0, kT, kNone, 5000, 4, {Field(0, 0, 4)}),
    R(16, kSet, 0x0011, kArgB0, kT, kNone, 5000, 0, {}),
    R(17, kGet, 0x0011, kArg0, kT, kNone, 5000, 0, {ArgTo0()}),
    R(18, kSet, 0x0013, kArgB0, kT, Req(1, 1), 5000, 0, {}),
    R(19, kGet, 0x0013, kArgB0, kT, kNone, 5000, 1, {Field(0, 1, 1)}),
    R(20, kSet, 0x0015, kArgB0, kT, kNone, 5000, 0, {}),
    R(21, kGet, 0x0015, kArg0, kT, kNone, 5000, 0, {ArgTo0()}),
    R(22, kSet, 0x0017, kArg0, kT, Req(0, 2), 5000, 0, {}),
    R(23, kGet, 0x0017, kArg0, kT, kNone, 5000, 2, {Field(0, 0, 2)}),
    R(24, kSet, 0x0019, kArg0, kT, kNone, 5000, 0, {}),
    R(25, kSet, 0x001C, kArg0, kT, Req(0, 20), 5000, 0, {}),
    R(26, kGet, 0x001C, kArg0, kT, kNone, 5000, 20, {Text(0, 0, 20)}),
    // 27: no command. 29, 30: key lock (KeyLock.cpp).
    R(28, kGet, 0x0030, kArg0, kT, kNone, 5000, 0, {ArgTo0()}),

    // group 0x01
    R(31, kSet, 0x0100, kArg0, kT, kNone, 5000, 0, {}),
    R(32, kSet, 0x0103, kArgB0, kT, Req(2, 2), 5000, 0, {}),
    R(33, kGet, 0x0103, kArgB0, kT, kNone, 5000, 2, {Field(0, 2, 2)}),
    R(34, kSet, 0x0104, kArgB0, kT, Req(1, 1), 5000, 0, {}),
    R(35, kGet, 0x0104, kArgB0, kT, kNone, 5000, 1, {Field(0, 1, 1)}),
    R(36, kSet, 0x010E, kArgB0, kT, kNone, 5000, 0, {}),
    R(37, kGet, 0x010E, kArg0, kT, kNone, 5000, 0, {ArgTo0()}),
    R(38, kSet, 0x010F, kArgB0, kT, kNone, 5000, 0, {}),
    R(39, kGet, 0x010F, kArg0, kT, kNone, 5000, 0, {ArgTo0()}),
    R(40, kSet, 0x0111, kArgB0, kT, kNone, 5000, 0, {}),
    R(41, kGet, 0x0111, kArg0, kT, kNone, 5000, 0, {ArgTo0()}),
    R(42, kSet, 0x0114, kArgB0, kT0, kNone, 5000, 0, {}),
    R(43, kGet, 0x0114, kArg0, kT, kNone, 5000, 0, {ArgTo0()}),
    R(44, kSet, 0x0130, kArgB0, kT, kNone, 5000, 0, {}),
    R(45, kGet, 0x0130, kArg0, kT, kNone, 5000, 0, {ArgTo0()}),
    R(46, kSet, 0x0131, kArg0, kT, Req(0, 2), 5000, 0, {}),
    R(47, kGet, 0x0131, kArg0, kT, kNone, 5000, 2, {Field(0, 0, 2)}),

    // group 0x03
    R(48, kGet, 0x0304, kArgB0, kT, kNone, 30000, 0, {}).With(ToCaller(Fixed(1024), SESSION_TABLE_BUFFER)),

    // group 0x07
    R(49, kGet, 0x0700, kArg0, kT, kNone, 5000, 28, {Field(0, 0, 28)}),
    R(50, kSet, 0x0701, kArg0, kT, kNone, 60000, 0, {}),

    // group 0x08
    R(51, kSet, 0x0800, kArgB0, kT, Req(4, 6), 120000, 0, {})
     .With(FromCaller(WordAt(SESSION_XFER_COUNT), SESSION_XFER_BUFFER)),
    R(52, kGet, 0x0800, kArgB0, kT, Req(4, 6), 30000, 6, {})
     .With(ToCaller(WordAt(SESSION_XFER_COUNT), SESSION_XFER_BUFFER)),
    R(53, kSet, 0x0801, kArgB0, kT, Req(1, 2), 5000, 0, {}),
    R(54, kGet, 0x0801, kArgB0, kT, Req(1, 1), 5000, 2, {Field(1, 2, 1)}),
    R(55, kSet, 0x0802, kArgB0, kT, Req(4, 6), 120000, 0, {})
     .With(FromCaller(WordAt(SESSION_XFER_COUNT), SESSION_XFER_BUFFER)),
    R(56, kGet, 0x0802, kArgB0, kT, Req(4, 6), 30000, 6, {})
     .With(ToCaller(WordAt(SESSION_XFER_COUNT), SESSION_XFER_BUFFER)),
    R(57, kSet, 0x0804, kArgB0, kT, Req(4, 3), 5000, 0, {}),
    R(58, kGet, 0x0805, kArgB0, kT0, kNone, 5000, 2, {Field(0, 2, 2)}).CopyingBeforeChecks(),
    R(59, kSet, 0x0807, kArg0, kT, kNone, 5000, 0, {})
     .With(FromBlock(WordAt(SESSION_DATA_COUNT), SESSION_DATA_BYTES)),
    R(60, kSet, 0x080A, kArg0, kT, Req(0, 1), 5000, 0, {}),
    R(61, kSet, 0x080B, kArgB0, kT0, Req(1, 2), 5000, 0, {})
     .With(FromCaller(ByteAt(SESSION_SHORT_COUNT), SESSION_SHORT_BUFFER)),
    R(62, kGet, 0x080B, kArgB0, kT0, Req(1, 2), 5000, 2, {Field(0, 1, 2)})
     .With(ToCaller(ByteAt(SESSION_SHORT_COUNT), SESSION_SHORT_BUFFER)),
    R(63, kGet, 0x080C, kArgB0, kT0, kNone, 5000, 6, {Field(0, 2, 4), Field(4, 6, 2)}),
    // 64: firmware update.

    // group 0x0A
    R(65, kSet, 0x0A00, kArg0, kT, kNone, 5000, 0, {}),
    R(66, kSet, 0x0A01, kArgB0, kT, Req(1, 16), 5000, 0, {}),
    R(67, kGet, 0x0A01, kArgB0, kT, kNone, 5000, 16, {Text(0, 1, 16)}),
    R(68, kSet, 0x0A03, kArgB0, kT, Req(1, 3), 5000, 0, {}),
    R(69, kGet, 0x0A03, kArgB0, kT, Req(1, 1), 5000, 3, {Field(1, 2, 2)}),
    R(70, kGet, 0x0A05, kArg0, kT, kNone, 5000, 16,
     {Field(0, 0, 8), Field(8, 8, 2), Field(10, 11, 4), Field(14, 15, 2)}),
    R(71, kGet, 0x0A07, kArg0, kT, kNone, 5000, 1, {Field(0, 0, 1)}),

    // group 0x0B
    R(72, kSet, 0x0B00, kArg0, kT, Req(0, 1), 5000, 0, {}),
    R(73, kSet, 0x0B05, kArgB0, kT, kNone, 20000, 1, {Field(0, 1, 1)}),

    // group 0x0E
    R(74, kGet, 0x0E02, kArg0, kT, kNone, 5000, 36, {Text(0, 0, 16), Text(16, 17, 20)}),
    R(75, kSet, 0x0E03, kArg0, kT0, kNone, 5000, 0, {}),
    R(76, kGet, 0x0E04, kArgB0, kT0, kNone, 5000, 32, {Field(0, 1, 16), Field(16, 17, 16)}),
    R(77, kSet, 0x0E05, kArgB0, kT0, Req(4, 6), 5000, 0, {})
     .With(FromCaller(WordAt(SESSION_XFER_COUNT), SESSION_XFER_BUFFER)),
    R(78, kGet, 0x0E05, kArgB0, kT0, Req(4, 6), 5000, 6, {})
     .With(ToCaller(WordAt(SESSION_XFER_COUNT), SESSION_XFER_BUFFER)),
    R(79, kSet, 0x0E06, kArg0, kT0, Req(0, 3), 5000, 0, {})
     .With(FromCaller(ByteAt(SESSION_SHORT_COUNT), SESSION_SHORT_BUFFER)),
    R(80, kGet, 0x0E06, kArg0, kT0, Req(0, 3), 5000, 3, {})
     .With(ToCaller(ByteAt(SESSION_SHORT_COUNT), SESSION_SHORT_BUFFER)),

    // group 0xF0
    R(81, kGet, 0xF010, kArg0, kT, kNone, 5000, 32, {Field(0, 0, 16), Field(16, 16, 16)}),
    // 82: raw message (Catalogue.cpp).
};

constexpr uint32_t kRawMessageTimeoutMs = 60000;

// The time-out the handler of `commandId` waits for its answer, in ms; 0 for
// ids that have none here (unknown ids and the commands with handlers of
// their own other than 82).
uint32_t TimeoutMs(int32_t commandId);

// Compile-time checks of the rows' shape: every field lies in the command
// area, every copy inside the fixed reply, every id appears once.
constexpr bool RowIsWellFormed(const Row& row) {
    if (row.id < 0 || row.id > 82 || row.id == 27 || row.id == 29 || row.id == 30 || row.id == 64 ||
        row.id == 82) {
        return false;
    }
    if (row.request.offset + row.request.size > kCommandArea) return false;
    for (const Copy& c : row.copies) {
        if (c.size == 0) continue;
        if (c.to + c.size + (c.nul ? 1 : 0) > kCommandArea) return false;
        if (c.from == kFromReplyArg) {
            if (c.to != 0 || c.size != 1) return false;
        } else if (c.from + c.size > row.reply) {
            return false;
        }
    }
    const Transfer& t = row.transfer;
    const bool counted = t.count.kind != CountKind::None;
    if ((t.data == Data::None) == counted) return false;
    if (t.count.kind == CountKind::Byte && t.count.value + 1 > kCommandArea) return false;
    if (t.count.kind == CountKind::Word && t.count.value + 2 > kCommandArea) return false;
    if ((t.data == Data::CallerToRequest || t.data == Data::ReplyToCaller) &&
        t.at + sizeof(void*) > kCommandArea) {
        return false;
    }
    if (t.data == Data::BlockToRequest && t.at >= kCommandArea) return false;
    if (row.op == Op::Set && t.data == Data::ReplyToCaller) return false;
    if (row.op == Op::Get && t.data != Data::None && t.data != Data::ReplyToCaller) return false;
    return row.timeoutMs > 0;
}

constexpr bool RowsAreWellFormed() {
    for (const Row& row : kRows) {
        if (!RowIsWellFormed(row)) return false;
        int seen = 0;
        for (const Row& other : kRows) seen += (other.id == row.id) ? 1 : 0;
        if (seen != 1) return false;
    }
    return true;
}
static_assert(RowsAreWellFormed(), "a catalogue row is malformed or repeated");
static_assert(sizeof(kRows) / sizeof(kRows[0]) == 78, "78 rows: ids 0-81 without 27, 29, 30 and 64");

}  // namespace azk::catalogue

#endif
