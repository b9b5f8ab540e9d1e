// Scripted exchanges for the catalogue commands: a session on a speakerphone
// of the sim bus whose answers the test gives as literal messages, and a case
// record that states the block before, the request the device must see, the
// answer, and the block and caller buffer afterwards.
#ifndef AZK_TESTS_CATALOGUE_TEST_SUPPORT_H
#define AZK_TESTS_CATALOGUE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SimTestSupport.h"
#include "session/SessionApi.h"

namespace azk::test {

// n bytes: first, first + 1, ... (mod 256).
Bytes Seq(uint8_t first, size_t n);
// n copies of `value`.
Bytes Fill(uint8_t value, size_t n);
// The parts one after the other.
Bytes Cat(std::initializer_list<Bytes> parts);

// A response message as the device sends it on the bus: one 0x83 report when
// it fits, else 0x83, 0x84..., 0x85.
std::vector<Bytes> Framed(const Bytes& message, size_t reportLength);

// Bytes written at a block offset.
struct Patch {
    size_t offset;
    Bytes bytes;
};

struct ExchangeCase {
    ExchangeCase(std::string name_, int32_t id_, std::vector<Patch> blockIn_, int pointerAt_, Bytes bufferIn_,
                 Bytes request_, Bytes reply_, int32_t result_ = 0, std::vector<Patch> blockOut_ = {},
                 Bytes bufferOut_ = {})
        : name(std::move(name_)), id(id_), blockIn(std::move(blockIn_)), pointerAt(pointerAt_),
          bufferIn(std::move(bufferIn_)), request(std::move(request_)), reply(std::move(reply_)), result(result_),
          blockOut(std::move(blockOut_)), bufferOut(std::move(bufferOut_)) {}

    std::string name;
    int32_t id = 0;
    std::vector<Patch> blockIn;  // over the base block (byte i = 0x40 + i, target 0x000001A7)
    int pointerAt = -1;          // where the caller buffer's address is stored (-1: none)
    Bytes bufferIn;              // the caller buffer (empty: a null pointer)
    Bytes request;               // the message the device must see (empty: nothing may be sent)
    Bytes reply;                 // the answer (empty: none)
    int32_t result = 0;
    std::vector<Patch> blockOut;  // block bytes that differ afterwards
    Bytes bufferOut;              // the caller buffer afterwards (empty: as it was)
};

// The target field of the base block, and its low byte.
constexpr uint32_t kBaseTarget = 0x000001A7;
constexpr uint8_t kT = 0xA7;

class CatalogueSessionTest : public SimBusTest {
protected:
    void TearDown() override;

    void Open(int variant = 1);
    size_t ReportLength() const { return variant_ == 2 ? 64 : 16; }

    // Runs one case and checks all it states.
    void Run(const ExchangeCase& c);

    // The message the host wrote since the reports were last cleared: the
    // reports' bytes joined and cut at 8 + `length`. Fails unless the
    // markers are 0x80 (0x81...) (0x82), no report is left over and the bytes
    // after the message are zero.
    ::testing::AssertionResult SentMessage(Bytes* message) const;

    static SessionParamBlock BaseBlock();
    static void Apply(SessionParamBlock& block, const std::vector<Patch>& patches);
    static Bytes BlockBytes(const SessionParamBlock& block) {
        return Bytes(block.bytes, block.bytes + SESSION_BLOCK_SIZE);
    }

    std::unique_ptr<ScriptedDevice> device_;
    SessionHandle session_ = nullptr;
    int variant_ = 1;
};

}  // namespace azk::test

#endif
