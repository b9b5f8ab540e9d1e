// EmulatorOptions.cpp - the DeviceEmulator command line.
#include "emulator/EmulatorOptions.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "support/WireFormat.h"

namespace azk {
namespace {

constexpr size_t kMaxNameLength = 64;

// An unsigned number, decimal or with a 0x prefix, at most `max`.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20 || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty()) return false;
    for (char c : digits) {
        const bool ok = hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    errno = 0;
    const unsigned long long parsed = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno != 0 || parsed > max) return false;
    value = parsed;
    return true;
}

// A hexadecimal number, with or without 0x, at most `max`.
bool ParseHex(const std::string& text, uint64_t max, uint64_t& value) {
    const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    return ParseNumber(prefixed ? text : "0x" + text, max, value);
}

bool ParseFlag(const std::string& text, uint8_t& flag) {
    if (text == "0" || text == "1") {
        flag = static_cast<uint8_t>(text[0] - '0');
        return true;
    }
    return false;
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength || name[0] == '.') return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

// TYPE:VALUE[@N] or CHANNEL:TEXT[@N].
bool ParseTraffic(const std::string& text, bool isText, azk_SEmulatedTraffic& traffic, std::string& error) {
    const std::string what = isText ? "--text" : "--event";
    std::string body = text;
    const size_t at = body.rfind('@');
    uint64_t number = 0;
    if (at != std::string::npos) {
        if (!ParseNumber(body.substr(at + 1), 0xFFFFFFFF, number) || number == 0) {
            error = what + ": the request count after '@' must be 1 or more";
            return false;
        }
        traffic.afterRequests = static_cast<uint32_t>(number);
        body.erase(at);
    }
    const size_t colon = body.find(':');
    if (colon == std::string::npos) {
        error = what + " '" + text + "': expected " + (isText ? "CHANNEL:TEXT" : "TYPE:VALUE");
        return false;
    }
    traffic.isText = isText;
    if (!ParseNumber(body.substr(0, colon), 0xFF, number)) {
        error = what + " '" + text + "': " + (isText ? "channel" : "type") + " must be 0 to 255";
        return false;
    }
    if (isText) {
        traffic.channel = static_cast<uint8_t>(number);
        traffic.text = body.substr(colon + 1);
        if (traffic.text.size() > 0xFFFE) {
            error = "--text: the text is too long";
            return false;
        }
        return true;
    }
    traffic.type = static_cast<uint8_t>(number);
    const uint64_t max = traffic.type == 3 ? 0xFFFF : 0xFF;
    if (!ParseNumber(body.substr(colon + 1), max, number)) {
        error = "--event '" + text + "': value must be 0 to " + std::to_string(max);
        return false;
    }
    traffic.value = static_cast<uint16_t>(number);
    return true;
}

// STEP:TIMES[:STATUS] of --fw-fail (with STATUS), --fw-bad-header and
// --fw-silent (without).
bool ParseFirmwareFault(const std::string& option, const std::string& text, azk_SFirmwareFault& fault,
                        std::string& error) {
    const std::vector<std::string> parts = Split(text, ':');
    const bool withStatus = fault.kind == azk_SFirmwareFault::Kind::Status;
    const std::string shape = withStatus ? "STEP:TIMES:STATUS" : "STEP:TIMES";
    if (parts.size() != (withStatus ? 3u : 2u)) {
        error = option + " '" + text + "': expected " + shape;
        return false;
    }
    if (parts[0] == "setinfo") {
        fault.function = wire::kFunctionSetInfo;
    } else if (parts[0] == "fwload") {
        fault.function = wire::kFunctionFwLoad;
    } else if (parts[0] == "writefw") {
        fault.function = wire::kFunctionWriteFw;
    } else {
        error = option + " '" + text + "': STEP is setinfo, fwload or writefw";
        return false;
    }
    uint64_t n = 0;
    if (!ParseNumber(parts[1], 0xFFFFFFFF, n) || n == 0) {
        error = option + " '" + text + "': TIMES must be 1 or more";
        return false;
    }
    fault.times = static_cast<uint32_t>(n);
    if (withStatus) {
        if (!ParseNumber(parts[2], 0xFF, n) || n == 0) {
            error = option + " '" + text + "': STATUS must be 1 to 255";
            return false;
        }
        fault.status = static_cast<uint8_t>(n);
    }
    return true;
}

}  // namespace

uint16_t azk_SDeviceDescription::VendorId() const { return vendorId.value_or(static_cast<uint16_t>(AZK_VENDOR_ID)); }

uint16_t azk_SDeviceDescription::ProductId() const {
    return productId.value_or(static_cast<uint16_t>(AZK_PRODUCT_ID + (variant == 2 ? 1 : 0)));
}

bool ParseMisbehaviour(const std::string& list, azk_SMisbehaviour& m, uint32_t& unplugAfter, std::string& error) {
    m = azk_SMisbehaviour{};
    if (list.empty()) {
        error = "empty misbehaviour";
        return false;
    }
    for (const std::string& item : Split(list, ',')) {
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        const bool hasValue = eq != std::string::npos;
        uint64_t n = 0;
        auto number = [&](uint64_t max) {
            if (hasValue && ParseNumber(value, max, n)) return true;
            error = "misbehaviour '" + item + "': " + key + "=N with N from 0 to " + std::to_string(max);
            return false;
        };
        if (!hasValue && key == "none") {
        } else if (!hasValue && key == "silent") {
            m.silent = true;
        } else if (!hasValue && key == "wrong-op") {
            m.op = 0x7F;  // neither a set (1) nor a get (3) answer
        } else if (!hasValue && key == "wrong-function") {
            m.function = 0xFFFF;
        } else if (!hasValue && key == "wrong-length") {
            m.lengthDelta = 1;
        } else if (!hasValue && key == "length-header-only") {
            m.lengthHeaderOnly = true;
        } else if (!hasValue && key == "event4") {
            m.asEventReport = true;
        } else if (!hasValue && key == "stray") {
            m.strayContinuations = true;
        } else if (!hasValue && key == "half") {
            m.halfAnswer = true;
        } else if (key == "duplicate") {
            m.duplicate = true;
            if (hasValue) {
                if (!ParseHex(value, 0xFF, n)) {
                    error = "misbehaviour '" + item + "': duplicate or duplicate=HEX, at most ff";
                    return false;
                }
                m.duplicateXor = static_cast<uint8_t>(n);
            }
        } else if (key == "short") {
            if (!number(0xFFFF) || n == 0) {
                error = "misbehaviour '" + item + "': short=N with N from 1";
                return false;
            }
            m.cutBytes = static_cast<size_t>(n);
        } else if (key == "status") {
            if (!number(0xFF)) return false;
            m.status = static_cast<uint8_t>(n);
        } else if (key == "detail") {
            if (!number(0xFF)) return false;
            m.detail = static_cast<uint8_t>(n);
        } else if (key == "op") {
            if (!number(0xFF)) return false;
            m.op = static_cast<uint8_t>(n);
        } else if (key == "function") {
            if (!hasValue || !ParseHex(value, 0xFFFF, n)) {
                error = "misbehaviour '" + item + "': function=HEX, at most ffff";
                return false;
            }
            m.function = static_cast<uint16_t>(n);
        } else if (key == "length") {
            const bool negative = hasValue && !value.empty() && value[0] == '-';
            const bool positive = hasValue && !value.empty() && value[0] == '+';
            if (!hasValue || !ParseNumber(negative || positive ? value.substr(1) : value, 0xFFFF, n)) {
                error = "misbehaviour '" + item + "': length=+N or length=-N, N at most 65535";
                return false;
            }
            m.lengthDelta = negative ? -static_cast<int32_t>(n) : static_cast<int32_t>(n);
        } else if (key == "late") {
            if (!number(600000)) return false;
            m.delayMs = static_cast<uint32_t>(n);
        } else if (key == "unplug-delay") {
            if (!number(600000)) return false;
            m.unplugDelayMs = static_cast<uint32_t>(n);
        } else if (key == "segment") {
            if (!number(4095) || n == 0) {
                error = "misbehaviour '" + item + "': segment=N with N from 1";
                return false;
            }
            m.segmentSize = static_cast<size_t>(n);
        } else if (key == "event-nibble") {
            if (!number(15)) return false;
            m.eventMarkerNibble = static_cast<uint8_t>(n);
        } else if (key == "order") {
            // order=1.0.2: the answer's reports by index, in this order.
            for (const std::string& index : Split(value, '.')) {
                if (!ParseNumber(index, 255, n)) {
                    error = "misbehaviour '" + item + "': order=I.J.K with indices from 0 to 255";
                    return false;
                }
                m.reportOrder.push_back(static_cast<size_t>(n));
            }
        } else if (key == "unplug-after") {
            if (!number(0xFFFFFFFF) || n == 0) {
                error = "misbehaviour '" + item + "': unplug-after=N with N from 1";
                return false;
            }
            unplugAfter = static_cast<uint32_t>(n);
        } else {
            error = "unknown misbehaviour '" + item + "'";
            return false;
        }
    }
    return true;
}

bool ParseVhidJunk(const std::string& list, bool numbered, size_t messageLength, std::vector<azk_SVhidJunk>& junk,
                   std::string& error) {
    junk.clear();
    for (const std::string& item : Split(list, ',')) {
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        uint64_t n = 0;
        azk_SVhidJunk j;
        if (item == "empty") {
            j.kind = azk_SVhidJunk::Kind::Empty;
        } else if (key == "length" && eq != std::string::npos) {
            if (!ParseNumber(value, 4096, n) || n == 0 || n == messageLength) {
                error = "'" + item + "': length=N with N from 1 to 4096, not " + std::to_string(messageLength) +
                        " (the input report's own length)";
                return false;
            }
            j.kind = azk_SVhidJunk::Kind::Length;
            j.length = static_cast<size_t>(n);
        } else if (key == "foreign-id" && eq != std::string::npos) {
            if (!numbered) {
                error = "'" + item + "': an unnumbered device sends no report ID";
                return false;
            }
            if (!ParseNumber(value, 0xFF, n) || n == 0 || n == kEmulatedInputReportId) {
                error = "'" + item + "': foreign-id=N with N from 2 to 255 (1 is the input report's)";
                return false;
            }
            j.kind = azk_SVhidJunk::Kind::ForeignId;
            j.reportId = static_cast<uint8_t>(n);
        } else {
            error = "unknown vhid junk '" + item + "': empty, length=N or foreign-id=N";
            return false;
        }
        junk.push_back(j);
    }
    return true;
}

bool ParseEmulatorArguments(const std::vector<std::string>& args, azk_SEmulatorConfig& config, std::string& error) {
    config = azk_SEmulatorConfig{};
    config.devices.emplace_back();
    bool describedHeld = false;
    bool describedRefuse = false;
    bool dirGiven = false;

    size_t i = 0;
    auto value = [&](const std::string& option, std::string& out) {
        if (i + 1 >= args.size()) {
            error = option + " needs a value";
            return false;
        }
        out = args[++i];
        return true;
    };

    for (; i < args.size(); ++i) {
        const std::string& word = args[i];
        azk_SDeviceDescription& device = config.devices.back();
        std::string v;
        uint64_t n = 0;
        if (word == "--") {
            config.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            if (config.command.empty()) {
                error = "no command after --";
                return false;
            }
            break;
        } else if (word == "--help" || word == "-h") {
            config.help = true;
            return true;
        } else if (word == "--serve") {
            config.serve = true;
        } else if (word == "--uhid") {
            config.uhid = true;
        } else if (word == "--trace") {
            config.trace = true;
        } else if (word == "--dir") {
            if (!value(word, v)) return false;
            if (v.empty() || v[0] != '/') {
                error = "--dir needs an absolute path";
                return false;
            }
            config.directory = v;
            dirGiven = true;
        } else if (word == "--device") {
            config.devices.emplace_back();
        } else if (word == "--devices") {
            if (!value(word, v)) return false;
            if (!ParseNumber(v, kEmulatorMaxDevices, n)) {
                error = "--devices: a count from 0 to " + std::to_string(kEmulatorMaxDevices);
                return false;
            }
            device.copies = static_cast<uint32_t>(n);
        } else if (word == "--name") {
            if (!value(word, v)) return false;
            if (!ValidName(v)) {
                error = "--name '" + v + "': letters, digits, '.', '_' and '-', not starting with '.', at most " +
                        std::to_string(kMaxNameLength) + " characters";
                return false;
            }
            device.name = v;
        } else if (word == "--variant") {
            if (!value(word, v)) return false;
            if (v != "1" && v != "2") {
                error = "--variant: 1 (16-byte reports) or 2 (64-byte reports)";
                return false;
            }
            device.variant = v[0] - '0';
        } else if (word == "--numbered") {
            device.numbered = true;
        } else if (word == "--unnumbered") {
            device.numbered = false;
        } else if (word == "--vendor" || word == "--product" || word == "--release") {
            if (!value(word, v)) return false;
            if (!ParseHex(v, 0xFFFF, n)) {
                error = word + " '" + v + "': a hexadecimal number up to ffff";
                return false;
            }
            if (word == "--vendor") device.vendorId = static_cast<uint16_t>(n);
            if (word == "--product") device.productId = static_cast<uint16_t>(n);
            if (word == "--release") device.versionNumber = static_cast<uint16_t>(n);
        } else if (word == "--lock-mask" || word == "--default-lock-mask") {
            if (!value(word, v)) return false;
            if (!ParseHex(v, 0xFFFF, n)) {
                error = word + " '" + v + "': a hexadecimal number up to ffff";
                return false;
            }
            (word == "--lock-mask" ? device.inForce : device.byDefault).lockMask = static_cast<uint16_t>(n);
        } else if (word == "--se" || word == "--default-se") {
            if (!value(word, v)) return false;
            if (!ParseFlag(v, (word == "--se" ? device.inForce : device.byDefault).seFlag)) {
                error = word + " '" + v + "': 0 or 1";
                return false;
            }
        } else if (word == "--held") {
            device.mode = azk_EVhidMode::Held;
            describedHeld = true;
        } else if (word == "--refuse") {
            device.mode = azk_EVhidMode::Refuse;
            describedRefuse = true;
        } else if (word == "--vhid-junk") {
            if (!value(word, v)) return false;
            // Checked once the device's report form is known.
            device.vhidJunkList = v;
        } else if (word == "--misbehave" || word == "--misbehave-once") {
            if (!value(word, v)) return false;
            azk_SMisbehaviour m;
            if (!ParseMisbehaviour(v, m, device.unplugAfter, error)) {
                error = word + ": " + error;
                return false;
            }
            if (word == "--misbehave") {
                device.always = m;
            } else {
                device.once.push_back(m);
            }
        } else if (word == "--fw-fail" || word == "--fw-bad-header" || word == "--fw-silent") {
            if (!value(word, v)) return false;
            azk_SFirmwareFault fault;
            fault.kind = word == "--fw-fail"         ? azk_SFirmwareFault::Kind::Status
                         : word == "--fw-bad-header" ? azk_SFirmwareFault::Kind::BadHeader
                                                     : azk_SFirmwareFault::Kind::Silent;
            if (!ParseFirmwareFault(word, v, fault, error)) return false;
            device.firmwareFaults.push_back(fault);
        } else if (word == "--event" || word == "--text") {
            if (!value(word, v)) return false;
            azk_SEmulatedTraffic traffic;
            if (!ParseTraffic(v, word == "--text", traffic, error)) return false;
            device.traffic.push_back(traffic);
        } else {
            error = "unknown option '" + word + "'";
            return false;
        }
    }

    uint64_t total = 0;
    bool junk = false;
    for (azk_SDeviceDescription& device : config.devices) {
        total += device.copies;
        if (device.vhidJunkList.empty()) continue;
        junk = true;
        const size_t messageLength = device.ReportLength() + (device.numbered ? 1 : 0);
        if (!ParseVhidJunk(device.vhidJunkList, device.numbered, messageLength, device.vhidJunk, error)) {
            error = "--vhid-junk: " + error;
            return false;
        }
    }
    if (total > kEmulatorMaxDevices) {
        error = "too many devices: at most " + std::to_string(kEmulatorMaxDevices);
        return false;
    }
    if (config.serve == !config.command.empty()) {
        error = config.serve ? "--serve takes no command" : "nothing to do: give -- COMMAND [ARGS] or --serve";
        return false;
    }
    if (dirGiven && !config.serve) {
        error = "--dir goes with --serve only";
        return false;
    }
    if (config.uhid && (describedHeld || describedRefuse || junk)) {
        error = "--held, --refuse and --vhid-junk are vhid behaviours; they do not go with --uhid";
        return false;
    }
    std::set<std::string> names;
    for (const std::string& name : DeviceSocketNames(config)) {
        if (!names.insert(name).second) {
            error = "two devices named " + name;
            return false;
        }
    }
    return true;
}

std::vector<std::string> DeviceSocketNames(const azk_SEmulatorConfig& config) {
    std::vector<std::string> names;
    size_t position = 0;
    for (const azk_SDeviceDescription& device : config.devices) {
        for (uint32_t copy = 0; copy < device.copies; ++copy, ++position) {
            char number[16];
            if (device.name.empty()) {
                std::snprintf(number, sizeof number, "dev%02zu", position);
                names.push_back(std::string(number) + ".sock");
            } else if (device.copies == 1) {
                names.push_back(device.name + ".sock");
            } else {
                std::snprintf(number, sizeof number, "-%02u", copy);
                names.push_back(device.name + number + ".sock");
            }
        }
    }
    return names;
}

std::string EmulatorUsage() {
    return
        "Usage: DeviceEmulator [options] -- COMMAND [ARGS...]\n"
        "       DeviceEmulator --serve [options]\n"
        "\n"
        "Publishes emulated speakerphones as vhid devices (user-space HID devices\n"
        "on Unix sockets that this project's Linux HID layer lists beside the\n"
        "kernel's hidraw nodes), or as kernel HID devices with --uhid.\n"
        "\n"
        "  -- COMMAND [ARGS]   run COMMAND with XDG_RUNTIME_DIR set to a private\n"
        "                      temporary directory that holds the devices, wait\n"
        "                      for it, remove everything and exit with its exit\n"
        "                      status (128+N when signal N ended it)\n"
        "  --serve             serve in $XDG_RUNTIME_DIR/azk-vhid, or in\n"
        "                      /tmp/azk-vhid-UID without XDG_RUNTIME_DIR, until\n"
        "                      SIGINT or SIGTERM; prints each socket path once ready\n"
        "  --dir DIR           with --serve: serve in DIR instead\n"
        "  --uhid              create kernel HID devices through /dev/uhid instead;\n"
        "                      each is ready once its hidraw node exists (--serve\n"
        "                      prints the node's path)\n"
        "  --trace             print every request, answer, event and connection\n"
        "                      on standard error, bytes in hex\n"
        "  --help              print this text\n"
        "\n"
        "Device options describe one device; --device starts the next one, from\n"
        "the defaults again. Devices are listed by socket file name.\n"
        "  --device            describe another device\n"
        "  --devices N         publish N devices like this one (default 1; 0: none)\n"
        "  --name NAME         socket file NAME.sock (default devNN by position;\n"
        "                      NAME-NN.sock for several copies)\n"
        "  --variant 1|2       16-byte (1, default) or 64-byte (2) reports\n"
        "  --numbered          input report ID 1, output report ID 2 (default)\n"
        "  --unnumbered        reports without report IDs\n"
        "  --vendor HEX        USB vendor ID (default the compiled-in one)\n"
        "  --product HEX       USB product ID (default the compiled-in one, +1 for\n"
        "                      variant 2)\n"
        "  --release HEX       device release number (default 0100)\n"
        "  --lock-mask HEX     key-lock mask in force (default 007f)\n"
        "  --se 0|1            SE flag in force (default 1)\n"
        "  --default-lock-mask HEX, --default-se 0|1\n"
        "                      the default key-lock configuration (007f, 1)\n"
        "  --held              held by another program: connections end at once\n"
        "  --refuse            a server that died: connections are refused\n"
        "  --vhid-junk LIST    before every input report send messages that are no\n"
        "                      report, LIST being items separated by commas:\n"
        "                        empty             an empty message\n"
        "                        length=N          the report cut or zero-extended\n"
        "                                          to N bytes\n"
        "                        foreign-id=N      the report with report ID N\n"
        "                      (each keeps the report's ID and marker, zeros after)\n"
        "  --misbehave LIST    answer every request wrongly, LIST being items\n"
        "                      separated by commas:\n"
        "                        silent            no answer at all\n"
        "                        status=N,detail=N a failure status and detail\n"
        "                        wrong-op, op=N    another op\n"
        "                        wrong-function, function=HEX  another function\n"
        "                        wrong-length, length=+N|-N  another length\n"
        "                        length-header-only  with length: header only\n"
        "                        late=MS           the answer MS milliseconds late\n"
        "                        event4            the answer in an event report\n"
        "                        event-nibble=N    its marker's low nibble\n"
        "                        segment=N         N message bytes per report\n"
        "                        order=I.J.K       the answer's reports in this order\n"
        "                        stray             stray continuation reports first\n"
        "                        short=N           the answer's last N bytes left out,\n"
        "                                          its length unchanged\n"
        "                        half              only the first half of its reports\n"
        "                        duplicate[=HEX]   the answer twice (the second copy\n"
        "                                          whole), its arg and payload XOR HEX\n"
        "                        unplug-after=N    unplug once N requests are answered\n"
        "                        unplug-delay=MS   that unplug MS milliseconds after\n"
        "                                          the N-th answer\n"
        "                        none              a correct answer\n"
        "  --misbehave-once LIST  the same for one request; repeated, it scripts\n"
        "                      the following requests in turn\n"
        "  --event TYPE:VALUE[@N]  send an event report (type 3: a 16-bit value)\n"
        "                      each time a host connects, or once the N-th\n"
        "                      request has been received\n"
        "  --text CHANNEL:TEXT[@N]  send a text message likewise\n"
        "\n"
        "Every device takes firmware updates: it checks each block's CRC and\n"
        "offset, and after the last commit the whole image (header, size and\n"
        "data CRC); --trace then reports \"firmware update verified (kind code K,\n"
        "N bytes)\" or \"firmware image rejected: REASON\". STEP is setinfo,\n"
        "fwload or writefw; a step's options are used up in the order given, and\n"
        "a request they answer is not carried out.\n"
        "  --fw-fail STEP:TIMES:STATUS  refuse the next TIMES requests of STEP\n"
        "                      with STATUS (1 to 255)\n"
        "  --fw-bad-header STEP:TIMES  acknowledge them with a wrong length\n"
        "  --fw-silent STEP:TIMES  leave them unanswered\n"
        "\n"
        "Exit status: that of COMMAND; 2 for a bad command line; 125 when the\n"
        "devices cannot be published (1 with --serve); 126 or 127 when COMMAND\n"
        "cannot be run or found.\n";
}

}  // namespace azk
