#include "CatalogueTestSupport.h"

#include <algorithm>
#include <cstring>

#include "transport/HidCommBase.h"

namespace azk::test {

Bytes Seq(uint8_t first, size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(first + i);
    return out;
}

Bytes Fill(uint8_t value, size_t n) { return Bytes(n, value); }

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::vector<Bytes> Framed(const Bytes& message, size_t reportLength) {
    const size_t p = reportLength - 1;
    std::vector<Bytes> reports;
    const size_t count = message.size() <= p ? 1 : (message.size() + p - 1) / p;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t marker = i == 0 ? 0x83 : (i + 1 == count ? 0x85 : 0x84);
        Bytes bytes{marker};
        const size_t begin = i * p;
        const size_t end = std::min(message.size(), begin + p);
        bytes.insert(bytes.end(), message.begin() + static_cast<std::ptrdiff_t>(begin),
                     message.begin() + static_cast<std::ptrdiff_t>(end));
        reports.push_back(BusReport(bytes, reportLength));
    }
    return reports;
}

void CatalogueSessionTest::TearDown() {
    if (session_ != nullptr) SessionFree(session_);
    session_ = nullptr;
    device_.reset();
    SimBusTest::TearDown();
    EXPECT_EQ(azk_CHidCommBase::RunningReceivers(), 0);
}

void CatalogueSessionTest::Open(int variant) {
    variant_ = variant;
    device_ = std::make_unique<ScriptedDevice>(AddSpeakerphone(variant));
    session_ = SessionCreate(variant, nullptr);
    ASSERT_NE(session_, nullptr);
}

SessionParamBlock CatalogueSessionTest::BaseBlock() {
    SessionParamBlock block{};
    for (int i = 0; i < 80; ++i) block.bytes[i] = static_cast<uint8_t>(0x40 + i);
    block.bytes[80] = static_cast<uint8_t>(kBaseTarget);
    block.bytes[81] = static_cast<uint8_t>(kBaseTarget >> 8);
    block.bytes[82] = static_cast<uint8_t>(kBaseTarget >> 16);
    block.bytes[83] = static_cast<uint8_t>(kBaseTarget >> 24);
    return block;
}

void CatalogueSessionTest::Apply(SessionParamBlock& block, const std::vector<Patch>& patches) {
    for (const Patch& patch : patches) {
        ASSERT_LE(patch.offset + patch.bytes.size(), sizeof block.bytes);
        std::memcpy(block.bytes + patch.offset, patch.bytes.data(), patch.bytes.size());
    }
}

::testing::AssertionResult CatalogueSessionTest::SentMessage(Bytes* message) const {
    const std::vector<Bytes> reports = device_->Device().WrittenReports();
    if (reports.empty()) return ::testing::AssertionFailure() << "nothing was sent";
    Bytes joined;
    for (size_t i = 0; i < reports.size(); ++i) {
        const Bytes& r = reports[i];
        if (r.size() != ReportLength() + 1) return ::testing::AssertionFailure() << "report " << i << " size";
        const uint8_t expected = i == 0 ? 0x80 : (i + 1 == reports.size() ? 0x82 : 0x81);
        if (r[1] != expected) {
            return ::testing::AssertionFailure() << "report " << i << " has marker " << int(r[1]);
        }
        joined.insert(joined.end(), r.begin() + 2, r.end());
    }
    const size_t size = 8u + static_cast<size_t>(joined[6] | (joined[7] << 8));
    const size_t p = ReportLength() - 1;
    if (joined.size() < size || joined.size() - size >= p) {
        return ::testing::AssertionFailure() << reports.size() << " reports for a message of " << size << " bytes";
    }
    for (size_t i = size; i < joined.size(); ++i) {
        if (joined[i] != 0) return ::testing::AssertionFailure() << "non-zero byte after the message at " << i;
    }
    message->assign(joined.begin(), joined.begin() + static_cast<std::ptrdiff_t>(size));
    return ::testing::AssertionSuccess();
}

void CatalogueSessionTest::Run(const ExchangeCase& c) {
    SCOPED_TRACE(c.name);
    SessionParamBlock block = BaseBlock();
    Apply(block, c.blockIn);
    Bytes buffer = c.bufferIn;
    if (c.pointerAt >= 0) {
        void* pointer = buffer.empty() ? nullptr : buffer.data();
        std::memcpy(block.bytes + c.pointerAt, &pointer, sizeof pointer);
    }
    SessionParamBlock expected = block;
    Apply(expected, c.blockOut);
    const Bytes expectedBuffer = c.bufferOut.empty() ? c.bufferIn : c.bufferOut;

    device_->Device().ClearWrittenReports();
    if (!c.reply.empty()) device_->Script(Framed(c.reply, ReportLength()));
    int32_t pair[2] = {7, 7};
    EXPECT_EQ(SessionExec(session_, c.id, &block, pair), c.result);
    if (c.request.empty()) {
        EXPECT_TRUE(device_->Device().WrittenReports().empty()) << "a request was sent";
    } else {
        Bytes sent;
        EXPECT_TRUE(SentMessage(&sent));
        EXPECT_EQ(sent, c.request);
    }
    EXPECT_EQ(BlockBytes(block), BlockBytes(expected));
    EXPECT_EQ(buffer, expectedBuffer);
}

}  // namespace azk::test
