// CatalogueFunctions.h - the emulated speakerphone's functions besides key
// lock, and the state they keep.
//
// Written from the device's side: a request message comes in, an answer goes
// out. Every function below answers op 0 (set) with op 1 and op 2 (get) with
// op 3 when it takes that op; a request it does not take, or whose payload
// length is not the one it takes, is answered with status kStatusBadRequest
// (0x03), length 0. All targets (0-255) are accepted; the state is kept per
// target, so a set to one target is seen by a get of the same target only.
//
// Kinds of function:
//   value in arg   set: arg stored, no payload; get: no payload, answer arg =
//                  the value (initially 0). 0x0001 0x000A 0x000D 0x0011
//                  0x0015 0x010E 0x010F 0x0111 0x0114 0x0130; set only:
//                  0x0004; get only: 0x0030.
//   action         set with no payload, counted. 0x0003 0x0019 0x0100 0x0701
//                  0x0A00 0x0E03.
//   value          a fixed-size value per arg: set with the value as payload;
//                  get with no payload (0x0000: 3 query bytes, ignored)
//                  answers it. Sizes: 0x0000 3, 0x0005 76, 0x0006 16,
//                  0x0007 8, 0x0009 1, 0x000C 1 (set only), 0x000F 4,
//                  0x0013 1, 0x0017 2, 0x001C 20, 0x0103 2, 0x0104 1,
//                  0x0131 2, 0x0304 1024, 0x0700 28, 0x0804 3 (set only),
//                  0x0805 2, 0x080A 1 (set only), 0x080C 6, 0x0A01 16,
//                  0x0A05 16, 0x0A07 1, 0x0B00 1 (set only), 0x0E02 36,
//                  0x0E04 32, 0xF010 32. Gets without a set answer a
//                  default: the text fields of 0x0005, 0x0006, 0x001C,
//                  0x0A01 and 0x0E02 hold texts, NUL-padded to their width
//                  (a text as wide as its field has no NUL); every other
//                  default byte i is (low byte of the function + 16 * arg + i)
//                  mod 256.
//   indexed value  0x0801 (1-byte value) and 0x0A03 (2-byte value): the set's
//                  payload is an index byte then the value, the get's payload
//                  is the index byte, the answer is the index then the value;
//                  kept per arg and index (key arg * 256 + index).
//   data           0x0807: a set with 0 to 78 payload bytes, kept per arg.
//   acknowledged   0x0B05: a set with no payload, acknowledged with 1 byte:
//                  the value kept for its arg (initially 0).
//   memory         0x0800, 0x0802, 0x0E05: payload address (u32) and count N
//                  (u16); a set adds the N bytes to write, a get is answered
//                  with the same 6 bytes and the N bytes read. Memory spaces
//                  are per function, target and arg (the selector).
//   short memory   0x080B: start (u8) and N (u8); 0x0E06: start (u16) and N
//                  (u8); otherwise as memory, with the 2 or 3 header bytes
//                  echoed in the answer.
// Memory never written reads as 0xFF. Writes past address 0xFFFFFFFF, reads
// whose answer would not fit 65535 bytes, and writes beyond the memory
// budget (16 MiB in 4 KiB pages) are refused with kStatusBadRequest.
//
// Not thread-safe: the device model calls it under its state lock.
#ifndef AZK_EMULATOR_CATALOGUE_FUNCTIONS_H
#define AZK_EMULATOR_CATALOGUE_FUNCTIONS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "emulator/DeviceModel.h"

namespace azk {

class azk_CCatalogueDevice {
public:
    static constexpr size_t kPageSize = 4096;
    static constexpr size_t kMaxPages = 4096;
    static constexpr size_t kMaxDataBytes = 78;  // function 0x0807

    // The functions this object answers.
    static std::vector<uint16_t> Functions();

    // Answers one request of one of Functions(). The response comes pre-filled
    // as the model does it (op + 1, function echoed, status 0, no payload).
    void Answer(const azk_SRequest& request, azk_SResponse& response);

    // The value a get answers for (target, key): the last one set, or the
    // default. key: the arg, or arg * 256 + index for the indexed values.
    // Empty for functions that keep no such value.
    std::vector<uint8_t> Value(uint16_t function, uint8_t target, uint16_t key) const;
    // false for functions that keep no value or a value of another size.
    bool SetValue(uint16_t function, uint8_t target, uint16_t key, const std::vector<uint8_t>& value);

    // Memory of the memory and short-memory functions (selector = arg).
    bool WriteMemory(uint16_t function, uint8_t target, uint8_t selector, uint32_t address,
                     const uint8_t* data, size_t size);
    void ReadMemory(uint16_t function, uint8_t target, uint8_t selector, uint32_t address, uint8_t* out,
                    size_t size) const;
    size_t MemoryPages() const { return pages_; }

    // How often an action was carried out on `target`.
    uint64_t ActionCount(uint16_t function, uint8_t target) const;

private:
    using ValueKey = std::tuple<uint16_t, uint8_t, uint16_t>;  // function, target, key
    using SpaceKey = std::tuple<uint16_t, uint8_t, uint8_t>;   // function, target, selector
    using Page = std::array<uint8_t, kPageSize>;

    std::map<ValueKey, std::vector<uint8_t>> values_;
    std::map<SpaceKey, std::map<uint32_t, Page>> memory_;
    std::map<std::pair<uint16_t, uint8_t>, uint64_t> actions_;
    size_t pages_ = 0;
};

}  // namespace azk

#endif
