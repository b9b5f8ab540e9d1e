// libFuzzer target for the receiver and SendAndWait: arbitrary report
// sequences from a device on the sim bus, interleaved with requests.
//
// The input is a script of items. An item's first byte says what it is:
//   kind 0  a response-type report: marker 0x80-0x86 or 0x8F, 15/63 bytes
//   kind 1  an event report: type 4 (a response) or another type
//   kind 2  a text report: marker 0xA0-0xA3
//   kind 3  a request of 8-71 bytes; its next byte k says how many of the
//           reports that follow the device sends as its answer (while the
//           request is being written); the rest come after it has returned
// Bit 7 of a report item's byte makes its 16-bit `length` small (below 64),
// so that whole responses are common. The very first byte picks 16- or
// 64-byte reports.
//
// On every request the result is checked against a model of the framing
// kept here: 0 or -13 only with the exact bytes of the first response that
// the device completed after the request; -12 only when that first response
// ended before its length; -7 when none settled (after a short wait). No
// hang: every wait is bounded and the receiver must be back reading after
// each step.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "transport/HidCommBase.h"
#include "transport/platform/sim/SimPlatform.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Check(bool condition) {
    if (!condition) std::abort();
}

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

struct Request {
    uint32_t size = 0;
    Bytes bytes;
    std::vector<Bytes> answer;  // sent while the request is written
    std::vector<Bytes> after;   // sent once it has returned
};

struct Script {
    int variant = 1;
    std::vector<Bytes> before;  // sent before the first request
    std::vector<Request> requests;
};

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

Bytes ReadReport(Reader& in, uint8_t item, size_t reportLength) {
    static const uint8_t kResponseMarkers[] = {0x83, 0x84, 0x85, 0x83, 0x84, 0x85, 0x80, 0x81, 0x82, 0x86, 0x8F};
    Bytes report(reportLength, 0);
    const uint8_t selector = in.Next();
    for (size_t i = 1; i < reportLength && !in.Empty(); ++i) report[i] = in.Next();
    switch (item & 3) {
    case 0:
        report[0] = kResponseMarkers[selector % sizeof kResponseMarkers];
        break;
    case 1:
        report[0] = static_cast<uint8_t>(0x90 | (selector & 0x0F));
        if (selector & 0x10) report[1] = 4;
        break;
    default:
        report[0] = static_cast<uint8_t>(0xA0 | (selector & 0x03));
        break;
    }
    // A header's length: bytes 7-8 of a 0x83 or type-4 report.
    if ((item & 0x80) != 0) {
        report[7] = static_cast<uint8_t>(selector % 64);
        report[8] = 0;
    }
    return report;
}

Script Parse(const uint8_t* data, size_t size) {
    Reader in(data, size);
    Script script;
    script.variant = (in.Next() & 1) != 0 ? 2 : 1;
    const size_t reportLength = script.variant == 2 ? 64 : 16;
    size_t pendingAnswer = 0;
    while (!in.Empty() && script.requests.size() < 16) {
        const uint8_t item = in.Next();
        if ((item & 3) == 3) {
            Request request;
            request.size = 8 + in.Next() % 64;
            request.bytes.assign(request.size, 0);
            request.bytes[0] = 2;
            request.bytes[1] = static_cast<uint8_t>(script.requests.size());
            request.bytes[6] = static_cast<uint8_t>(request.size - 8);
            pendingAnswer = in.Next();
            script.requests.push_back(std::move(request));
            continue;
        }
        Bytes report = ReadReport(in, item, reportLength);
        if (script.requests.empty()) {
            script.before.push_back(std::move(report));
        } else if (pendingAnswer > 0) {
            script.requests.back().answer.push_back(std::move(report));
            --pendingAnswer;
        } else {
            script.requests.back().after.push_back(std::move(report));
        }
    }
    return script;
}

// The expected outcome of one request: the first response that settles in
// its answer, by the framing rules, starting from an empty reassembly.
struct Expected {
    enum class Kind { None, Complete, Incomplete } kind = Kind::None;
    Bytes message;
};

Expected Model(const std::vector<Bytes>& answer, size_t reportLength) {
    const uint32_t p = static_cast<uint32_t>(reportLength - 1);
    const uint32_t limit = p * (65536 / p + 1);
    Expected expected;
    Bytes buffer;
    uint32_t needed = 0;
    bool continues = false;
    for (const Bytes& report : answer) {
        const uint8_t marker = report[0];
        bool complete = false;
        if (marker == 0x83) {
            buffer.assign(report.begin() + 1, report.end());
            needed = 8u + Read16(&buffer[6]);
            continues = needed > p;
            complete = !continues;
        } else if ((marker == 0x84 || marker == 0x85) && continues) {
            buffer.insert(buffer.end(), report.begin() + 1, report.end());
            if (marker == 0x85) {
                continues = false;
                complete = true;
            }
            if (buffer.size() > limit) {
                continues = false;
                complete = false;
            }
        } else if ((marker >> 4) == 0x9 && report[1] == 4) {
            const uint32_t n = 8u + Read16(&report[7]);
            if (n > p) {
                expected.kind = Expected::Kind::Incomplete;
            } else {
                expected.kind = Expected::Kind::Complete;
                expected.message.assign(report.begin() + 1, report.begin() + 1 + n);
            }
            return expected;
        }
        if (complete) {
            if (buffer.size() < needed) {
                expected.kind = Expected::Kind::Incomplete;
            } else {
                expected.kind = Expected::Kind::Complete;
                expected.message.assign(buffer.begin(), buffer.begin() + needed);
            }
            return expected;
        }
    }
    return expected;
}

int ReadText(void*, int, const char* text, int length) {
    // Reads every byte the callback is given: out-of-bounds reads show.
    unsigned sum = 0;
    for (int i = 0; i < length; ++i) sum += static_cast<unsigned char>(text[i]);
    return static_cast<int>(sum & 1);
}

// A session of the transport alone, destroyed as what it was made as.
class FuzzSession final : public azk::azk_CHidCommBase {};

std::shared_ptr<azk::sim::SimDevice> g_devices[2];

std::shared_ptr<azk::sim::SimDevice> Device(int variant) {
    if (!g_devices[0]) {
        auto& bus = azk::sim::SimBus::Instance();
        g_devices[0] = bus.AddDevice(azk::sim::VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16));
        g_devices[1] = bus.AddDevice(azk::sim::VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID + 1, 64));
        for (auto& device : g_devices) device->SetRecordWrites(false);
    }
    return g_devices[variant - 1];
}

void Send(azk::sim::SimDevice& device, const Bytes& report) {
    Bytes bus(report.size() + 1, 0);  // report ID 0 in front
    std::memcpy(bus.data() + 1, report.data(), report.size());
    device.SendInput(bus);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Script script = Parse(data, size);
    const size_t reportLength = script.variant == 2 ? 64 : 16;
    std::shared_ptr<azk::sim::SimDevice> device = Device(script.variant);

    // The answer of the request being written, sent when its last report is.
    std::mutex answerLock;
    const std::vector<Bytes>* answer = nullptr;
    uint8_t lastMarker = 0x80;  // of the request being written
    azk::sim::SimDevice* raw = device.get();
    device->SetOutputHandler([&](const uint8_t* report, size_t) {
        std::lock_guard<std::mutex> lock(answerLock);
        if (answer == nullptr || report[1] != lastMarker) return;  // report[0] is the report ID
        for (const Bytes& r : *answer) Send(*raw, r);
        answer = nullptr;
    });

    auto session = std::make_unique<FuzzSession>();
    Check(session->Initialize(script.variant, [](int, int) {}));
    session->SetTextCallback(ReadText, nullptr);

    for (const Bytes& report : script.before) Send(*device, report);
    Check(device->WaitForBlockedReader(5000));

    const uint32_t p = static_cast<uint32_t>(reportLength - 1);
    for (const Request& request : script.requests) {
        const Expected expected = Model(request.answer, reportLength);
        {
            // The answer goes out with the request's last report: 0x80
            // alone, or 0x82 after several.
            std::lock_guard<std::mutex> lock(answerLock);
            answer = &request.answer;
            lastMarker = request.size <= p ? 0x80 : 0x82;
        }
        const int32_t result = session->SendAndWait(request.bytes.data(), request.size,
                                                    expected.kind == Expected::Kind::None ? 2 : 5000);
        switch (expected.kind) {
        case Expected::Kind::None:
            Check(result == SESSION_RESULT_TIMEOUT);
            break;
        case Expected::Kind::Incomplete:
            Check(result == SESSION_RESULT_BAD_RESPONSE);
            break;
        case Expected::Kind::Complete:
            Check(result == (expected.message[4] != 0 ? SESSION_RESULT_DEVICE_STATUS : SESSION_RESULT_OK));
            Check(std::memcmp(session->ResponseBuffer(), expected.message.data(), expected.message.size()) == 0);
            Check(session->Status() == expected.message[4] && session->Detail() == expected.message[5]);
            break;
        }
        {
            std::lock_guard<std::mutex> lock(answerLock);
            answer = nullptr;
        }
        for (const Bytes& report : request.after) Send(*device, report);
        Check(device->WaitForBlockedReader(5000));
    }

    session->Terminate();
    device->SetOutputHandler(nullptr);
    return 0;
}
