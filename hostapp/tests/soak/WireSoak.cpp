// WireSoak.cpp - fault-injection soak of the session against the emulated
// device on the sim bus.
//
//   azk_wire_soak [--seed N] [--seconds S] [--commands N]
//
// Runs commands of every kind (key lock, value sets and gets, block
// transfers, raw messages, firmware updates) for S seconds (default 30) or
// N commands, with a random misbehaviour of the device's answer before most
// of them and now and then an unplug (after which a new device and session
// are made). Every result must be either exactly the data the device holds
// (read from the emulated device itself) or an error code that leaves the
// caller's block and buffers as they were. Prints one summary line and
// exits 1 when any command broke that rule, 2 for a bad command line.
//
// Between commands the program waits until the host has read everything the
// device sent: a late copy of an answer still queued in the host when the
// next request starts cannot be told from an answer to it, on any transport.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "emulator/DeviceModel.h"
#include "emulator/FirmwareReceiver.h"
#include "emulator/SimAttachment.h"
#include "session/FirmImageBuilder.h"
#include "session/SessionApi.h"
#include "support/ByteOrder.h"
#include "support/WideConsole.h"
#include "transport/platform/sim/SimPlatform.h"

namespace {

using Bytes = std::vector<uint8_t>;
using azk::Read16;
using azk::Read32;
using azk::Write16;
using azk::Write32;

constexpr uint8_t kSentinel = 0xA5;

// One device, its firmware receiver and a session on it.
struct Rig {
    int variant = 1;
    std::unique_ptr<azk::azk_CDeviceModel> model;
    std::unique_ptr<azk::azk_CFirmwareReceiver> firmware;
    std::shared_ptr<azk::sim::SimDevice> device;
    std::unique_ptr<azk::azk_CSimAttachment> attachment;
    SessionHandle session = nullptr;

    Rig() = default;
    ~Rig() { Close(); }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool Build(int v) {
        Close();
        variant = v;
        const uint16_t length = v == 2 ? 64 : 16;
        model = std::make_unique<azk::azk_CDeviceModel>(length);
        model->SetTraceLimit(64);
        firmware = std::make_unique<azk::azk_CFirmwareReceiver>(*model);
        device = azk::sim::SimBus::Instance().AddDevice(
            azk::sim::VendorDeviceSpec(AZK_VENDOR_ID, static_cast<uint16_t>(AZK_PRODUCT_ID + (v == 2 ? 1 : 0)), length));
        device->SetRecordWrites(false);
        attachment = std::make_unique<azk::azk_CSimAttachment>(*model, device);
        session = SessionCreate(v, nullptr);
        return session != nullptr;
    }
    void Close() {
        if (session != nullptr) SessionFree(session);
        session = nullptr;
        attachment.reset();
        if (device) azk::sim::SimBus::Instance().Remove(device);
        device.reset();
        firmware.reset();
        model.reset();
    }
    size_t Segment() const { return variant == 2 ? 63 : 15; }
};

struct Tally {
    uint64_t commands = 0;
    uint64_t faults = 0;
    uint64_t unplugs = 0;
    uint64_t wrongSuccesses = 0;
    uint64_t changedOnError = 0;
    std::map<int32_t, uint64_t> results;
};

class Soak {
public:
    explicit Soak(uint64_t seed) : random_(seed) {}

    bool Step(Tally& tally);
    void Finish() { rig_.Close(); }

private:
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(random_() % n); }
    Bytes RandomBytes(size_t n) {
        Bytes bytes(n);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(random_());
        return bytes;
    }

    // A misbehaviour for an answer of `answerSize` message bytes; false for
    // none. `slow`: the command's time-out is long, so no silence.
    bool PickFault(size_t answerSize, bool slow, azk::azk_SMisbehaviour& m, bool& unplug);

    int32_t Run(int kind, bool& ok, bool& untouched);

    std::mt19937_64 random_;
    Rig rig_;
};

bool Soak::PickFault(size_t answerSize, bool slow, azk::azk_SMisbehaviour& m, bool& unplug) {
    const size_t p = rig_.Segment();
    unplug = Below(250) == 0;
    if (!slow && Below(1500) == 0) {
        m.silent = true;  // the command waits its whole time-out
        return true;
    }
    switch (Below(16)) {
    case 0:
        m.status = static_cast<uint8_t>(1 + Below(255));
        m.detail = static_cast<uint8_t>(Below(256));
        return true;
    case 1:
        m.op = static_cast<uint8_t>(Below(256));
        return true;
    case 2:
        m.function = static_cast<uint16_t>(Below(65536));
        return true;
    case 3:
        // A header that declares more than is sent ends early only when the
        // answer has a last report; in one report it would just wait.
        m.lengthDelta = Below(2) == 0 ? -1 : 1 + static_cast<int32_t>(Below(40));
        m.lengthHeaderOnly = Below(2) == 0 && (m.lengthDelta < 0 || answerSize > p);
        return true;
    case 4: {
        // Whole reports left out, at least a first and a last kept: the last
        // report comes before the length. (Bytes cut from inside a report
        // would arrive as its zero fill: a device fault no host can see.)
        const size_t reports = (answerSize + p - 1) / p;
        if (reports < 3) return unplug;
        m.cutBytes = (answerSize - 1) % p + 1 + p * Below(static_cast<uint32_t>(reports - 2));
        return true;
    }
    case 5:
        m.asEventReport = true;
        m.eventMarkerNibble = static_cast<uint8_t>(Below(16));
        return true;
    case 7:
        m.strayContinuations = true;
        return true;
    case 8:
        m.duplicate = true;
        m.duplicateXor = static_cast<uint8_t>(Below(256));
        return true;
    case 9:
        m.halfAnswer = true;  // then a whole copy
        m.duplicate = true;
        return true;
    case 6:
        m.delayMs = 1 + Below(20);
        return true;
    default:
        return unplug;
    }
}

// Runs one command of `kind` with a fault already queued; `ok` tells
// whether a 0 came with exactly the device's data, `untouched` whether an
// error left the caller's bytes alone.
int32_t Soak::Run(int kind, bool& ok, bool& untouched) {
    azk::azk_CDeviceModel& model = *rig_.model;
    const uint8_t target = static_cast<uint8_t>(Below(2));
    SessionParamBlock block;
    std::memset(block.bytes, kSentinel, sizeof block.bytes);
    Write32(block.bytes + SESSION_BLOCK_TARGET, target);
    const SessionParamBlock before = block;
    auto blockUntouched = [&] { return std::memcmp(&block, &before, sizeof block) == 0; };
    ok = true;
    untouched = true;
    int32_t result = 0;

    switch (kind) {
    case 0: {  // 29: key-lock set
        const uint8_t se = static_cast<uint8_t>(Below(2));
        const uint16_t mask = static_cast<uint16_t>(Below(0x80));
        block.bytes[SESSION_KEYLOCK_SE_FLAG] = se;
        Write16(block.bytes + SESSION_KEYLOCK_LOCK_MASK, mask);
        result = SessionExec(rig_.session, SESSION_CMD_SET_KEY_LOCK_CONFIG, &block, nullptr);
        const azk::azk_SKeyLockConfig now = model.GetKeyLockConfig(target);
        ok = result != 0 || (now.seFlag == se && now.lockMask == mask);
        break;
    }
    case 1: {  // 30: key-lock get
        result = SessionExec(rig_.session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, nullptr);
        const azk::azk_SKeyLockConfig now = model.GetKeyLockConfig(target);
        ok = result != 0 || (block.bytes[SESSION_KEYLOCK_SE_FLAG] == now.seFlag &&
                             Read16(block.bytes + SESSION_KEYLOCK_LOCK_MASK) == now.lockMask);
        untouched = result == 0 || blockUntouched();
        break;
    }
    case 2: {  // 49: 28 bytes
        result = SessionExec(rig_.session, SESSION_CMD_GET_0700, &block, nullptr);
        const Bytes value = model.FunctionValue(0x0700, target, 0);
        ok = result != 0 || (value.size() == 28 && std::memcmp(block.bytes, value.data(), 28) == 0);
        untouched = result == 0 || blockUntouched();
        break;
    }
    case 3: {  // 14: a u32 set
        const uint32_t v = static_cast<uint32_t>(random_());
        Write32(block.bytes, v);
        result = SessionExec(rig_.session, SESSION_CMD_SET_000F, &block, nullptr);
        const Bytes value = model.FunctionValue(0x000F, target, 0);
        ok = result != 0 || (value.size() == 4 && Read32(value.data()) == v);
        break;
    }
    case 4: {  // 15: a u32 get
        result = SessionExec(rig_.session, SESSION_CMD_GET_000F, &block, nullptr);
        const Bytes value = model.FunctionValue(0x000F, target, 0);
        ok = result != 0 || (value.size() == 4 && std::memcmp(block.bytes, value.data(), 4) == 0);
        untouched = result == 0 || blockUntouched();
        break;
    }
    case 5:
    case 6: {  // 51 / 52: block write / read of device memory
        const uint8_t selector = static_cast<uint8_t>(Below(4));
        const uint32_t address = Below(0x4000);
        const uint16_t count = static_cast<uint16_t>(1 + Below(kind == 5 ? 700 : 1500));
        Bytes data = kind == 5 ? RandomBytes(count) : Bytes(count, kSentinel);
        block.bytes[SESSION_XFER_SELECTOR] = selector;
        Write32(block.bytes + SESSION_XFER_ADDRESS, address);
        Write16(block.bytes + SESSION_XFER_COUNT, count);
        uint8_t* pointer = data.data();
        std::memcpy(block.bytes + SESSION_XFER_BUFFER, &pointer, sizeof pointer);
        result = SessionExec(rig_.session, kind == 5 ? SESSION_CMD_BLOCK_WRITE_0800 : SESSION_CMD_BLOCK_READ_0800,
                             &block, nullptr);
        const Bytes memory = model.ReadMemory(0x0800, target, selector, address, count);
        ok = result != 0 || memory == data;
        if (kind == 6 && result != 0) untouched = data == Bytes(count, kSentinel);
        break;
    }
    case 7: {  // 82: a raw get of function 0x0700
        Bytes message(64, kSentinel);
        const Bytes request = {0x02, 0x00, 0x07, 0x00, target, 0x00, 0x00, 0x00};
        std::copy(request.begin(), request.end(), message.begin());
        const Bytes sent = message;
        uint8_t* pointer = message.data();
        std::memcpy(block.bytes + SESSION_RAW_BUFFER, &pointer, sizeof pointer);
        Write32(block.bytes + SESSION_RAW_SIZE, static_cast<uint32_t>(message.size()));
        model.ClearTrace();
        result = SessionExec(rig_.session, SESSION_CMD_RAW_MESSAGE, &block, nullptr);
        if (result == 0) {
            // The answer as the device sent it, whatever it was, with the
            // zero fill of its last report (bytes it sent too).
            Bytes answer;
            for (const azk::azk_STraceEntry& entry : model.Trace()) {
                if (entry.kind == azk::azk_ETraceKind::Response) answer = entry.bytes;
            }
            const size_t p = rig_.Segment();
            const size_t n = answer.size() >= 8 ? std::min<size_t>(8 + Read16(&answer[6]), message.size()) : 0;
            answer.resize((answer.size() + p - 1) / p * p, 0);
            ok = n > 0 && answer.size() >= n && std::memcmp(message.data(), answer.data(), n) == 0;
        } else {
            untouched = message == sent;
        }
        break;
    }
    default: {  // 64: a firmware update of one to three blocks
        azk::azk_CFirmImageBuilder builder;
        builder.SetKind(0).SetPrologue(RandomBytes(512)).SetBody(RandomBytes(4 * (1 + Below(5000))));
        const Bytes image = builder.Build();
        SessionFirmwareUpdateBlock update{};
        update.image = image.data();
        update.imageSize = static_cast<uint32_t>(image.size());
        result = SessionExec(rig_.session, SESSION_CMD_FIRMWARE_UPDATE, &update, nullptr);
        const azk::azk_CFirmwareReceiver::State state = rig_.firmware->Snapshot();
        ok = result != 0 || (state.verified && rig_.firmware->Image() == image);
        break;
    }
    }
    return result;
}

bool Soak::Step(Tally& tally) {
    if (rig_.session == nullptr || rig_.model->Unplugged()) {
        if (!rig_.Build(1 + static_cast<int>(Below(2)))) {
            std::fprintf(stderr, "azk_wire_soak: no session on a new device\n");
            return false;
        }
        for (uint8_t target : {0, 1}) rig_.model->SetFunctionValue(0x0700, target, 0, RandomBytes(28));
    }
    // Kinds: 0-1 key lock, 2 command 49, 3-4 a u32, 5-6 block transfers,
    // 7 raw, 8 firmware update (rare).
    const int kind = Below(100) == 0 ? 8 : static_cast<int>(Below(8));
    // Message bytes of each kind's answer (a block read: its shortest).
    static const size_t kAnswerSizes[] = {8, 10, 36, 8, 12, 8, 15, 36, 8};
    const bool slow = kind >= 5;  // block transfers, raw, firmware: long time-outs

    azk::azk_SMisbehaviour m;
    bool unplug = false;
    const bool fault = PickFault(kAnswerSizes[kind], slow, m, unplug);
    if (fault) {
        rig_.model->MisbehaveOnce(m);
        ++tally.faults;
    }
    if (unplug) {
        rig_.model->UnplugAfterRequests(1);
        ++tally.unplugs;
    }
    bool ok = true;
    bool untouched = true;
    const int32_t result = Run(kind, ok, untouched);
    rig_.model->BehaveNormally();
    rig_.model->UnplugAfterRequests(0);
    ++tally.commands;
    ++tally.results[result];
    if (!ok) {
        ++tally.wrongSuccesses;
        std::fprintf(stderr,
                     "azk_wire_soak: command kind %d returned 0 with wrong data (command %llu; status %d op %d "
                     "function %d length %+d header-only %d cut %llu event %d stray %d duplicate %d/%d half %d "
                     "late %u)\n",
                     kind, static_cast<unsigned long long>(tally.commands), m.status.value_or(-1), m.op.value_or(-1),
                     m.function.value_or(-1), m.lengthDelta, m.lengthHeaderOnly, static_cast<unsigned long long>(m.cutBytes), m.asEventReport,
                     m.strayContinuations, m.duplicate, m.duplicateXor, m.halfAnswer, m.delayMs);
    }
    if (!untouched) {
        ++tally.changedOnError;
        std::fprintf(stderr, "azk_wire_soak: command kind %d returned %d and changed the caller's bytes\n", kind,
                     static_cast<int>(result));
    }
    // Everything the device sent has been read before the next request.
    if (!rig_.model->Unplugged() && !rig_.device->WaitForBlockedReader(10000)) {
        std::fprintf(stderr, "azk_wire_soak: the receiver did not come back to reading\n");
        return false;
    }
    return true;
}

bool ParseCount(const char* text, uint64_t& value) {
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0') return false;
    value = parsed;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t seed = 1;
    uint64_t seconds = 30;
    uint64_t maxCommands = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        uint64_t* target = word == "--seed" ? &seed : word == "--seconds" ? &seconds : word == "--commands" ? &maxCommands : nullptr;
        if (target == nullptr || i + 1 >= argc || !ParseCount(argv[++i], *target)) {
            std::fprintf(stderr, "usage: azk_wire_soak [--seed N] [--seconds S] [--commands N]\n");
            return 2;
        }
    }
    // The firmware update's messages on failed attempts are not wanted here.
    std::FILE* quiet = std::fopen("/dev/null", "w");
    if (quiet != nullptr) azk::SetConsoleStream(quiet);

    azk::sim::SimBus::Instance().Clear();
    Tally tally;
    Soak soak(seed);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool healthy = true;
    while (healthy && std::chrono::steady_clock::now() < end && (maxCommands == 0 || tally.commands < maxCommands)) {
        healthy = soak.Step(tally);
    }
    soak.Finish();
    azk::sim::SimBus::Instance().Clear();
    if (quiet != nullptr) {
        azk::SetConsoleStream(nullptr);
        std::fclose(quiet);
    }

    std::printf("seed %llu: commands %llu, faults injected %llu, unplugs %llu, wrong successes %llu, "
                "changed on error %llu; results",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(tally.commands),
                static_cast<unsigned long long>(tally.faults), static_cast<unsigned long long>(tally.unplugs),
                static_cast<unsigned long long>(tally.wrongSuccesses),
                static_cast<unsigned long long>(tally.changedOnError));
    for (const auto& [code, count] : tally.results) std::printf(" %d:%llu", code, static_cast<unsigned long long>(count));
    std::printf("\n");
    return healthy && tally.wrongSuccesses == 0 && tally.changedOnError == 0 ? 0 : 1;
}
