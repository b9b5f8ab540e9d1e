// DeviceCommandApp.cpp - the DeviceCommand tool. Only the session library's
// public header is used: the tool is a caller like any other.
#include "win/DeviceCommand/DeviceCommandApp.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <random>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <sstream>
#include <stdexcept>
#include <utility>

#include "session/SessionApi.h"
#include "win/DeviceCommand/DeviceCommandExec.h"

namespace azk::devcmd {
namespace {

using Json = nlohmann::ordered_json;

struct Key {
    const char* name;
    uint16_t bit;
};
constexpr Key kKeys[] = {{"Bluetooth", 0x0001}, {"Call", 0x0002},  {"MicMute", 0x0004},
                         {"VolDown", 0x0008},   {"VolUp", 0x0010}, {"SpMute", 0x0040}};
constexpr uint16_t kNothingLocked = 0x007F;

const char* const kExitStatusText =
    "Exit status:\n"
    "  0  done\n"
    "  2  bad command line\n"
    "  3  no session: no such device, or it cannot be opened (see 'list')\n"
    "  4  the device answered with a failure status\n"
    "  5  no answer in time, or the device was lost\n"
    "  6  the device's answer was not the one expected\n"
    "  7  the session library refused the request\n"
    "  8  a file could not be read or written\n";

const char* const kUdevHint =
    "install the udev rule: 'sudo cmake --install BUILD --prefix /usr' puts "
    "70-keyconfig.rules in /usr/lib/udev/rules.d; then 'sudo udevadm control --reload' "
    "and replug the device";

// ------------------------------------------------------------ result codes

const char* ResultName(int32_t result) {
    switch (result) {
    case SESSION_RESULT_OK: return "OK";
    case SESSION_RESULT_GENERAL: return "GENERAL";
    case SESSION_RESULT_PARAMETER: return "PARAMETER";
    case SESSION_RESULT_INITIALIZE: return "INITIALIZE";
    case SESSION_RESULT_CONNECTION: return "CONNECTION";
    case SESSION_RESULT_COMMAND: return "COMMAND";
    case SESSION_RESULT_DEVICE: return "DEVICE";
    case SESSION_RESULT_TIMEOUT: return "TIMEOUT";
    case SESSION_RESULT_EXEC_SYSTEM: return "EXEC_SYSTEM";
    case SESSION_RESULT_NOT_ENOUGH_ARGS: return "NOT_ENOUGH_ARGS";
    case SESSION_RESULT_BAD_BLOCK: return "BAD_BLOCK";
    case SESSION_RESULT_CLOSING: return "CLOSING";
    case SESSION_RESULT_BAD_RESPONSE: return "BAD_RESPONSE";
    case SESSION_RESULT_DEVICE_STATUS: return "DEVICE_STATUS";
    case SESSION_RESULT_IMAGE_CHECKSUM: return "IMAGE_CHECKSUM";
    case SESSION_RESULT_FW_LOAD: return "FW_LOAD";
    case SESSION_RESULT_FW_WRITE: return "FW_WRITE";
    default: return "UNKNOWN";
    }
}

const char* ResultText(int32_t result) {
    switch (result) {
    case SESSION_RESULT_CONNECTION: return "no session: the device is not there or cannot be opened";
    case SESSION_RESULT_COMMAND: return "no such command";
    case SESSION_RESULT_TIMEOUT: return "no answer in time";
    case SESSION_RESULT_BAD_BLOCK: return "the request does not fit the command";
    case SESSION_RESULT_CLOSING: return "the device was lost";
    case SESSION_RESULT_BAD_RESPONSE: return "the answer was not the one expected";
    case SESSION_RESULT_DEVICE_STATUS: return "the device answered with a failure status";
    default: return "the command failed";
    }
}

int ExitStatusOf(int32_t result) {
    switch (result) {
    case SESSION_RESULT_OK: return kExitOk;
    case SESSION_RESULT_PARAMETER: return kExitUsage;
    case SESSION_RESULT_CONNECTION: return kExitNoDevice;
    case SESSION_RESULT_DEVICE_STATUS: return kExitDeviceStatus;
    case SESSION_RESULT_TIMEOUT:
    case SESSION_RESULT_CLOSING: return kExitNoAnswer;
    case SESSION_RESULT_BAD_RESPONSE: return kExitBadAnswer;
    default: return kExitRefused;
    }
}

// A failure that ends the run: a result code of the library (or -2 for the
// command line), what failed, and the device's status pair when it has one.
struct Failure : std::runtime_error {
    Failure(int32_t code, const std::string& what, int exit = -1)
        : std::runtime_error(what), result(code), exitStatus(exit < 0 ? ExitStatusOf(code) : exit) {}
    int32_t result;
    int exitStatus;
    bool hasStatus = false;
    int32_t status = 0;
    int32_t detail = 0;
};

std::string Hex(uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

// ------------------------------------------------------------ the session

class Session {
public:
    Session(int32_t variant, int32_t index) : handle_(SessionCreateAt(variant, index, nullptr)) {
        if (handle_ == nullptr) {
            throw Failure(SESSION_RESULT_CONNECTION, "no session: no usable device of variant " +
                                                         std::to_string(variant) + " at index " +
                                                         std::to_string(index) + " (see 'DeviceCommand list')");
        }
    }
    ~Session() { SessionFree(handle_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs one command; a failure throws with the status pair.
    void Exec(int32_t commandId, void* block, const std::string& what) {
        int32_t statusPair[2] = {0, 0};
        const int32_t result = SessionExec(handle_, commandId, block, statusPair);
        if (result == SESSION_RESULT_OK) return;
        Failure failure(result, what + ": " + ResultText(result));
        if (result == SESSION_RESULT_DEVICE_STATUS) {
            failure.hasStatus = true;
            failure.status = statusPair[0];
            failure.detail = statusPair[1];
        }
        throw failure;
    }

private:
    SessionHandle handle_;
};

// ------------------------------------------------------------ key lock

struct KeyLockConfig {
    uint8_t se = 0;
    uint16_t mask = 0;
    bool operator==(const KeyLockConfig& other) const { return se == other.se && mask == other.mask; }
};

KeyLockConfig ReadKeyLock(Session& session, uint8_t target) {
    SessionParamBlock block{};
    block.bytes[SESSION_BLOCK_TARGET] = target;
    session.Exec(SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, "reading the key-lock configuration");
    KeyLockConfig config;
    config.se = block.bytes[SESSION_KEYLOCK_SE_FLAG];
    config.mask = static_cast<uint16_t>(block.bytes[SESSION_KEYLOCK_LOCK_MASK] |
                                        block.bytes[SESSION_KEYLOCK_LOCK_MASK + 1] << 8);
    return config;
}

void WriteKeyLock(Session& session, uint8_t target, const KeyLockConfig& config) {
    SessionParamBlock block{};
    block.bytes[SESSION_BLOCK_TARGET] = target;
    block.bytes[SESSION_KEYLOCK_SE_FLAG] = config.se;
    block.bytes[SESSION_KEYLOCK_LOCK_MASK] = static_cast<uint8_t>(config.mask & 0xFF);
    block.bytes[SESSION_KEYLOCK_LOCK_MASK + 1] = static_cast<uint8_t>(config.mask >> 8);
    session.Exec(SESSION_CMD_SET_KEY_LOCK_CONFIG, &block, "writing the key-lock configuration");
}

std::vector<std::string> LockedKeys(uint16_t mask) {
    std::vector<std::string> keys;
    for (const Key& key : kKeys) {
        if ((mask & key.bit) == 0) keys.emplace_back(key.name);
    }
    return keys;
}

Json KeyLockJson(const KeyLockConfig& config) {
    Json json;
    json["se"] = config.se != 0;
    json["lockMask"] = config.mask;
    json["lockMaskHex"] = Hex(config.mask, 4);
    json["locked"] = LockedKeys(config.mask);
    return json;
}

std::string KeyLockText(const KeyLockConfig& config) {
    std::string text = "locked keys: ";
    const std::vector<std::string> keys = LockedKeys(config.mask);
    if (keys.empty()) text += "(none)";
    for (size_t i = 0; i < keys.size(); ++i) text += (i > 0 ? " " : "") + keys[i];
    text += "\nsound effect: ";
    text += config.se != 0 ? "on" : "off";
    text += "\nlock mask: " + Hex(config.mask, 4) + "\n";
    return text;
}

KeyLockConfig WantedKeyLock(const azk_SDeviceCommandOptions& options) {
    KeyLockConfig wanted;
    wanted.se = options.seOn ? 1 : 0;
    if (!LockMaskOf(options.lockKeys, wanted.mask)) throw Failure(SESSION_RESULT_PARAMETER, "unknown key name");
    return wanted;
}

// ------------------------------------------------------------ list

const char* StateName(int32_t state) {
    switch (state) {
    case SESSION_DEVICE_USABLE: return "usable";
    case SESSION_DEVICE_PERMISSION_DENIED: return "permission-denied";
    case SESSION_DEVICE_HELD: return "held";
    case SESSION_DEVICE_REPORT_LENGTHS: return "report-lengths";
    case SESSION_DEVICE_OTHER_COLLECTION: return "other-collection";
    case SESSION_DEVICE_OTHER_PRODUCT: return "other-product";
    default: return "open-failed";
    }
}

std::vector<SessionDeviceInfo> ListDevices() {
    std::vector<SessionDeviceInfo> devices(8);
    for (;;) {
        int32_t count = 0;
        const int32_t result = SessionListDevices(devices.data(), static_cast<int32_t>(devices.size()), &count);
        if (result != SESSION_RESULT_OK) throw Failure(result, "listing the devices failed");
        if (static_cast<size_t>(count) <= devices.size()) {
            devices.resize(static_cast<size_t>(count));
            return devices;
        }
        devices.resize(static_cast<size_t>(count));  // more came meanwhile: again with room
    }
}

void RunList(const azk_SDeviceCommandOptions& options, Json& json, std::string& text) {
    std::vector<SessionDeviceInfo> devices = ListDevices();
    json["devices"] = Json::array();
    std::ostringstream table;
    for (const SessionDeviceInfo& device : devices) {
        // An interface whose IDs are unknown may be of any variant: it stays.
        if (options.variantGiven && device.idsKnown != 0 && device.variant != options.variant) continue;
        Json entry;
        entry["index"] = device.index >= 0 ? Json(device.index) : Json(nullptr);
        entry["variant"] = device.variant != 0 ? Json(device.variant) : Json(nullptr);
        entry["path"] = std::string(device.path);
        if (device.idsKnown != 0) {
            entry["vendorId"] = Hex(device.vendorId, 4);
            entry["productId"] = Hex(device.productId, 4);
            entry["release"] = Hex(device.releaseNumber, 4);
        } else {
            entry["vendorId"] = entry["productId"] = entry["release"] = nullptr;
        }
        if (device.lengthsKnown != 0) {
            entry["inputReportLength"] = device.inputReportByteLength;
            entry["outputReportLength"] = device.outputReportByteLength;
        } else {
            entry["inputReportLength"] = entry["outputReportLength"] = nullptr;
        }
        entry["usable"] = device.state == SESSION_DEVICE_USABLE;
        entry["state"] = StateName(device.state);
        const std::string reason = UnusableReason(device);
        entry["reason"] = reason.empty() ? Json(nullptr) : Json(reason);
        if (device.systemError != 0) entry["systemError"] = device.systemError;
        json["devices"].push_back(entry);

        table << (device.index >= 0 ? std::to_string(device.index) : std::string("-")) << "  variant "
              << (device.variant != 0 ? std::to_string(device.variant) : std::string("?")) << "  ";
        if (device.idsKnown != 0) {
            table << Hex(device.vendorId, 4).substr(2) << ":" << Hex(device.productId, 4).substr(2) << " release "
                  << Hex(device.releaseNumber, 4).substr(2);
        } else {
            table << "????:???? release ????";
        }
        table << "  reports ";
        if (device.lengthsKnown != 0) {
            table << device.inputReportByteLength << "/" << device.outputReportByteLength;
        } else {
            table << "?/?";
        }
        table << "  " << device.path << "\n    "
              << (reason.empty() ? std::string("usable: --variant ") + std::to_string(device.variant) +
                                       " --index " + std::to_string(device.index)
                                 : reason)
              << "\n";
    }
    json["count"] = json["devices"].size();
    text = json["devices"].empty() ? "no HID interface with vendor ID " + Hex(AZK_VENDOR_ID, 4) + "\n" : table.str();
}

// ------------------------------------------------------------ raw, blocks

std::string HexBytes(const uint8_t* data, size_t size) {
    std::string text;
    char two[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02x", data[i]);
        if (i > 0) text += ' ';
        text += two;
    }
    return text;
}

void StorePointer(uint8_t* field, void* pointer) { std::memcpy(field, &pointer, sizeof pointer); }

void Store32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void RunRaw(Session& session, const azk_SDeviceCommandOptions& options, Json& json, std::string& text) {
    std::vector<uint8_t> message;
    if (!ParseHexBytes(options.hex, message)) throw Failure(SESSION_RESULT_PARAMETER, "the message is not hex bytes");
    if (message.size() < 8) throw Failure(SESSION_RESULT_PARAMETER, "the message needs its 8 header bytes");
    const size_t declared = 8u + (message[6] | message[7] << 8);
    if (message.size() != declared) {
        throw Failure(SESSION_RESULT_PARAMETER, "the header's length says " + std::to_string(declared) +
                                                    " message bytes, " + std::to_string(message.size()) +
                                                    " were given");
    }
    // Room for the longest answer, which the command cuts to the buffer.
    std::vector<uint8_t> buffer(SESSION_RAW_MAX_SIZE, 0);
    std::memcpy(buffer.data(), message.data(), message.size());
    SessionParamBlock block{};
    StorePointer(block.bytes + SESSION_RAW_BUFFER, buffer.data());
    Store32(block.bytes + SESSION_RAW_SIZE, static_cast<uint32_t>(buffer.size()));
    session.Exec(SESSION_CMD_RAW_MESSAGE, &block, "the raw message");
    const size_t answer = 8u + (buffer[6] | buffer[7] << 8);
    json["request"] = HexBytes(message.data(), message.size());
    json["response"] = HexBytes(buffer.data(), answer);
    json["op"] = buffer[0];
    json["function"] = Hex(buffer[1] | buffer[2] << 8, 4);
    json["arg"] = buffer[3];
    json["status"] = buffer[4];
    json["detail"] = buffer[5];
    json["length"] = answer - 8;
    text = HexBytes(buffer.data(), answer) + "\n";
}

// Block transfers move at most this much per command; longer files go in
// several commands at increasing addresses.
constexpr uint32_t kChunk = 4096;

class Progress {
public:
    Progress(std::ostream& err, bool show, uint32_t total) : err_(err), show_(show && total > 0), total_(total) {}
    void Update(uint32_t done) {
        if (!show_) return;
        const int percent = static_cast<int>(uint64_t{done} * 100 / total_);
        if (percent == last_) return;
        last_ = percent;
        const int bar = percent / 5;
        err_ << "\r[" << std::string(static_cast<size_t>(bar), '#') << std::string(static_cast<size_t>(20 - bar), ' ')
             << "] " << percent << "%" << (done == total_ ? "\n" : "") << std::flush;
    }

private:
    std::ostream& err_;
    bool show_;
    uint32_t total_;
    int last_ = -1;
};

void FillTransferBlock(SessionParamBlock& block, const azk_SDeviceCommandOptions& options, uint32_t address,
                       uint32_t count, uint8_t* data) {
    block = SessionParamBlock{};
    block.bytes[SESSION_XFER_SELECTOR] = static_cast<uint8_t>(options.selector);
    Store32(block.bytes + SESSION_XFER_ADDRESS, address);
    block.bytes[SESSION_XFER_COUNT] = static_cast<uint8_t>(count & 0xFF);
    block.bytes[SESSION_XFER_COUNT + 1] = static_cast<uint8_t>(count >> 8);
    StorePointer(block.bytes + SESSION_XFER_BUFFER, data);
    Store32(block.bytes + SESSION_BLOCK_TARGET, options.target);
}

// An open file, closed (and, when asked, removed) at the end.
class File {
public:
    File(const std::string& path, const char* mode) : File(path, OpenFile(path, mode)) {}
    // `file`: the file at `path`, opened already (or nullptr).
    File(const std::string& path, std::FILE* file) : path_(path), file_(file) {}
    ~File() {
        if (file_ != nullptr) std::fclose(file_);
        if (removeAtEnd_) RemoveFile(path_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    std::FILE* Get() const { return file_; }
    // Closes the file; false when what was written did not all reach it.
    bool Close() {
        const bool ok = file_ != nullptr && std::fclose(file_) == 0;
        file_ = nullptr;
        return ok;
    }
    void RemoveAtEnd(bool remove) { removeAtEnd_ = remove; }

private:
    std::string path_;
    std::FILE* file_;
    bool removeAtEnd_ = false;
};

void CheckAddressRange(uint32_t address, uint64_t count) {
    if (uint64_t{address} + count > 0x100000000ull) {
        throw Failure(SESSION_RESULT_PARAMETER, "address + count passes the end of the 32-bit address space");
    }
}

Json TransferJson(const azk_SDeviceCommandOptions& options, uint32_t count) {
    return Json{{"commandId", options.blockCommand}, {"address", options.address}, {"count", count},
                {"file", options.file}};
}

// Copies what was written to `from` into `to`, from the start.
bool CopyInto(std::FILE* from, std::FILE* to) {
    if (std::fseek(from, 0, SEEK_SET) != 0) return false;
    std::vector<uint8_t> piece(kChunk);
    size_t n;
    while ((n = std::fread(piece.data(), 1, piece.size(), from)) > 0) {
        if (std::fwrite(piece.data(), 1, n, to) != n) return false;
    }
    return std::ferror(from) == 0;
}

// Reads chunk by chunk, so that memory stays small whatever the count. A
// file that is not there yet is created at once and takes the bytes as they
// come; a failed read removes it again. One that is there (or a link, or a
// device) is opened only once the device has delivered everything, which
// waits in a scratch file meanwhile: a failed read leaves it as it was.
void RunReadBlock(Session& session, const azk_SDeviceCommandOptions& options, std::ostream& err, bool terminal,
                  Json& json, std::string& text) {
    CheckAddressRange(options.address, options.count);
    std::FILE* created = CreateNewFile(options.file);
    const bool existing = created == nullptr && errno == EEXIST;
    File file(options.file, created);
    if (created == nullptr && !existing) {
        throw Failure(SESSION_RESULT_GENERAL, "cannot create " + options.file, kExitFile);
    }
    file.RemoveAtEnd(created != nullptr);
    File scratch(std::string(), existing ? OpenScratchFile() : nullptr);
    if (existing && scratch.Get() == nullptr) {
        throw Failure(SESSION_RESULT_GENERAL, "cannot create a scratch file in the temporary folder", kExitFile);
    }
    std::FILE* sink = existing ? scratch.Get() : file.Get();
    const std::string sinkName = existing ? "the scratch file in the temporary folder" : options.file;
    std::vector<uint8_t> chunk(kChunk);
    Progress progress(err, terminal && !options.json, options.count);
    for (uint32_t done = 0; done < options.count;) {
        const uint32_t n = std::min(kChunk, options.count - done);
        SessionParamBlock block;
        FillTransferBlock(block, options, options.address + done, n, chunk.data());
        session.Exec(options.blockCommand, &block, "reading at " + Hex(options.address + done, 8));
        if (std::fwrite(chunk.data(), 1, n, sink) != n) {
            throw Failure(SESSION_RESULT_GENERAL, "cannot write " + sinkName, kExitFile);
        }
        done += n;
        progress.Update(done);
    }
    if (existing) {
        File target(options.file, "wb");
        if (target.Get() == nullptr || !CopyInto(scratch.Get(), target.Get()) || !target.Close()) {
            throw Failure(SESSION_RESULT_GENERAL, "cannot write " + options.file, kExitFile);
        }
    } else if (!file.Close()) {
        throw Failure(SESSION_RESULT_GENERAL, "cannot write " + options.file, kExitFile);
    }
    file.RemoveAtEnd(false);
    json.update(TransferJson(options, options.count));
    text = "read " + std::to_string(options.count) + " bytes from " + Hex(options.address, 8) + " into " +
           options.file + "\n";
}

void RunWriteBlock(Session& session, const azk_SDeviceCommandOptions& options, std::ostream& err, bool terminal,
                   Json& json, std::string& text) {
    File file(options.file, "rb");
    if (file.Get() == nullptr) throw Failure(SESSION_RESULT_GENERAL, "cannot open " + options.file, kExitFile);
    // The file's size decides the count unless one was given.
    uint64_t size = 0;
    {
        uint8_t scratch[65536];
        size_t n;
        while ((n = std::fread(scratch, 1, sizeof scratch, file.Get())) > 0 && size <= 0xFFFFFFFFull) size += n;
        if (std::ferror(file.Get()) != 0) throw Failure(SESSION_RESULT_GENERAL, "cannot read " + options.file, kExitFile);
        std::rewind(file.Get());
    }
    if (options.count > size) {
        throw Failure(SESSION_RESULT_PARAMETER, options.file + " holds " + std::to_string(size) +
                                                    " bytes, fewer than --count " + std::to_string(options.count));
    }
    const uint64_t total = options.count != 0 ? options.count : size;
    CheckAddressRange(options.address, total);
    std::vector<uint8_t> chunk(kChunk);
    Progress progress(err, terminal && !options.json, static_cast<uint32_t>(total));
    for (uint64_t done = 0; done < total;) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, total - done));
        if (std::fread(chunk.data(), 1, n, file.Get()) != n) {
            throw Failure(SESSION_RESULT_GENERAL, "cannot read " + options.file, kExitFile);
        }
        SessionParamBlock block;
        const uint32_t address = static_cast<uint32_t>(options.address + done);
        FillTransferBlock(block, options, address, n, chunk.data());
        session.Exec(options.blockCommand, &block, "writing at " + Hex(address, 8));
        done += n;
        progress.Update(static_cast<uint32_t>(done));
    }
    json.update(TransferJson(options, static_cast<uint32_t>(total)));
    text = "wrote " + std::to_string(total) + " bytes from " + options.file + " at " + Hex(options.address, 8) + "\n";
}

// ------------------------------------------------------------ dispatch

const char* SubcommandName(Subcommand subcommand) {
    switch (subcommand) {
    case Subcommand::List: return "list";
    case Subcommand::KeylockShow: return "keylock show";
    case Subcommand::KeylockSet: return "keylock set";
    case Subcommand::KeylockReset: return "keylock reset";
    case Subcommand::KeylockApply: return "keylock apply";
    case Subcommand::Exec: return "exec";
    case Subcommand::ReadBlock: return "read-block";
    case Subcommand::WriteBlock: return "write-block";
    case Subcommand::Raw: return "raw";
    case Subcommand::None: break;
    }
    return "";
}

void RunSubcommand(const azk_SDeviceCommandOptions& options, std::ostream& err, bool terminal, Json& json,
                   std::string& text) {
    if (options.subcommand == Subcommand::List) {
        RunList(options, json, text);
        return;
    }
    // Arguments that need no device are checked before one is opened.
    KeyLockConfig wanted;
    if (options.subcommand == Subcommand::KeylockSet || options.subcommand == Subcommand::KeylockApply) {
        wanted = WantedKeyLock(options);
    }
    SessionParamBlock execBlock{};
    std::vector<uint8_t> execBuffer;
    if (options.subcommand == Subcommand::Exec) {
        std::string error;
        if (!PrepareExec(options.commandId, options.assignments, execBlock, execBuffer, error)) {
            throw Failure(SESSION_RESULT_PARAMETER, error);
        }
    }

    Session session(options.variant, options.index);
    switch (options.subcommand) {
    case Subcommand::KeylockShow: {
        const KeyLockConfig config = ReadKeyLock(session, 0);
        json.update(KeyLockJson(config));
        text = KeyLockText(config);
        break;
    }
    case Subcommand::KeylockSet:
        WriteKeyLock(session, 0, wanted);
        json.update(KeyLockJson(wanted));
        text = "set\n" + KeyLockText(wanted);
        break;
    case Subcommand::KeylockReset: {
        const KeyLockConfig defaults = ReadKeyLock(session, 1);
        WriteKeyLock(session, 0, defaults);
        json.update(KeyLockJson(defaults));
        text = "reset to the default\n" + KeyLockText(defaults);
        break;
    }
    case Subcommand::KeylockApply: {
        const KeyLockConfig before = ReadKeyLock(session, 0);
        const bool changed = !(before == wanted);
        if (changed) WriteKeyLock(session, 0, wanted);
        json["changed"] = changed;
        json["before"] = KeyLockJson(before);
        json["after"] = KeyLockJson(wanted);
        text = (changed ? "changed\n" : "unchanged\n") + KeyLockText(wanted);
        break;
    }
    case Subcommand::Exec: {
        session.Exec(options.commandId, &execBlock, "command " + std::to_string(options.commandId));
        json["id"] = options.commandId;
        json["fields"] = Json::object();
        text.clear();
        for (const ExecValue& value : ExecResults(options.commandId, execBlock, execBuffer)) {
            Json field;
            if (value.isText) {
                field = value.text;
            } else if (value.isBytes) {
                field = value.text;
            } else {
                field = Json{{"value", value.number}, {"hex", Hex(value.number, value.size * 2)}};
            }
            json["fields"][value.name] = field;
            text += value.name + " = " +
                    (value.isText ? "\"" + PrintableText(value.text) + "\""
                     : value.isBytes
                         ? value.text
                         : std::to_string(value.number) + " (" + Hex(value.number, value.size * 2) + ")") +
                    "\n";
        }
        if (text.empty()) text = "ok\n";
        break;
    }
    case Subcommand::ReadBlock: RunReadBlock(session, options, err, terminal, json, text); break;
    case Subcommand::WriteBlock: RunWriteBlock(session, options, err, terminal, json, text); break;
    case Subcommand::Raw: RunRaw(session, options, json, text); break;
    case Subcommand::List:
    case Subcommand::None: break;
    }
}

Json ErrorJson(const Failure& failure, const char* subcommand) {
    Json json;
    json["ok"] = false;
    if (subcommand[0] != '\0') json["command"] = subcommand;
    Json error;
    error["result"] = failure.result;
    error["name"] = ResultName(failure.result);
    error["message"] = failure.what();
    if (failure.hasStatus) {
        error["status"] = failure.status;
        error["detail"] = failure.detail;
    }
    json["error"] = error;
    json["exitStatus"] = failure.exitStatus;
    return json;
}

bool IsTrue(const std::string& word) { return word == "on"; }

// The value of a hex digit, or -1.
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The length of the valid UTF-8 sequence at `at`: 1 for ASCII, 0 for a
// byte that begins none (overlong forms, surrogates and code points past
// U+10FFFF are not valid).
size_t Utf8Length(const std::string& text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[at + i]);
        if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

}  // namespace

// ------------------------------------------------------------ helpers

std::string UnusableReason(const SessionDeviceInfo& device) {
    switch (device.state) {
    case SESSION_DEVICE_USABLE: return "";
    case SESSION_DEVICE_PERMISSION_DENIED:
#ifdef _WIN32
        return "permission denied: the system does not let this user open it";
#else
        // A vhid socket is a file of the program that plays the device, not
        // a node udev makes.
        if (std::strncmp(device.path, "vhid:", 5) == 0) {
            return "permission denied: the socket belongs to another user, who does not let this user connect";
        }
        return std::string("permission denied: the udev rule is missing; ") + kUdevHint;
#endif
    case SESSION_DEVICE_HELD: return "held by another program";
    case SESSION_DEVICE_REPORT_LENGTHS: {
        const int expected = device.variant == SESSION_VARIANT_64 ? 65 : 17;
        return "report lengths " + std::to_string(device.inputReportByteLength) + "/" +
               std::to_string(device.outputReportByteLength) + " do not fit variant " +
               std::to_string(device.variant) + " (" + std::to_string(expected) + "/" + std::to_string(expected) +
               ")";
    }
    case SESSION_DEVICE_OTHER_COLLECTION:
        return "another top-level collection of the device (collection " + std::to_string(device.collection + 1) +
               "), not the speakerphone's";
    case SESSION_DEVICE_OTHER_PRODUCT: return "another product (neither variant's product ID)";
    default: break;
    }
    return device.systemError != 0 ? "cannot be opened (system error " + std::to_string(device.systemError) + ")"
                                    : "cannot be opened or queried";
}

std::string PrintableText(const std::string& text) {
    std::string printable;
    for (size_t at = 0; at < text.size();) {
        const size_t length = Utf8Length(text, at);
        const unsigned char lead = static_cast<unsigned char>(text[at]);
        // A control character of C1 is U+0080 to U+009F: C2 80 to C2 9F.
        const bool control = length == 0 || lead < 0x20 || lead == 0x7F ||
                             (lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0);
        if (!control) {
            if (lead == '\\') printable += '\\';
            printable.append(text, at, length);
            at += length;
            continue;
        }
        for (const size_t end = at + std::max<size_t>(length, 1); at < end; ++at) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(text[at])));
            printable += hex;
        }
    }
    return printable;
}

bool LockMaskOf(const std::vector<std::string>& keys, uint16_t& mask) {
    mask = kNothingLocked;
    for (const std::string& name : keys) {
        bool known = false;
        for (const Key& key : kKeys) {
            if (name == key.name) {
                mask = static_cast<uint16_t>(mask & ~key.bit);
                known = true;
            }
        }
        if (!known) return false;
    }
    return true;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    int base = 10;
    size_t at = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        at = 2;
    }
    uint64_t result = 0;
    for (; at < text.size(); ++at) {
        const int digit = HexDigit(text[at]);
        if (digit < 0 || digit >= base || static_cast<uint64_t>(digit) > max) return false;
        if (result > (max - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return false;
        result = result * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    value = result;
    return true;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == ':' || c == ',' || c == '\t') {
            if (high >= 0) return false;  // a byte is two digits together
            continue;
        }
        const int digit = HexDigit(c);
        if (digit < 0) return false;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    return high < 0;
}

// ------------------------------------------------------------ files

// Windows opens a file by the name's wide spelling, so that any name it can
// hold works, not only those of the ANSI code page.
#ifdef _WIN32
std::FILE* OpenFile(const std::string& path, const char* mode) {
    try {
        const std::filesystem::path name = std::filesystem::u8path(path);
        const std::wstring wideMode(mode, mode + std::strlen(mode));
        return _wfopen(name.c_str(), wideMode.c_str());
    } catch (const std::exception&) {  // not UTF-8: no such file
        return nullptr;
    }
}

namespace {

// A descriptor of `_wopen` as a stream of `mode`, or nullptr (and the
// descriptor closed).
std::FILE* StreamOf(int descriptor, const char* mode) {
    if (descriptor < 0) return nullptr;
    std::FILE* file = _fdopen(descriptor, mode);
    if (file == nullptr) _close(descriptor);
    return file;
}

}  // namespace

std::FILE* CreateNewFile(const std::string& path) {
    try {
        const std::filesystem::path name = std::filesystem::u8path(path);
        return StreamOf(_wopen(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE),
                        "wb");
    } catch (const std::exception&) {  // not UTF-8: no such file
        errno = EINVAL;
        return nullptr;
    }
}

// The system deletes a file opened as temporary once its last handle is closed.
std::FILE* OpenScratchFile() {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error) return nullptr;
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path name = folder / ("DeviceCommand-" + std::to_string(random()) + ".tmp");
        const int descriptor = _wopen(name.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_TEMPORARY,
                                      _S_IREAD | _S_IWRITE);
        if (descriptor >= 0 || errno != EEXIST) return StreamOf(descriptor, "w+b");
    }
    return nullptr;
}

void RemoveFile(const std::string& path) {
    try {
        const std::filesystem::path name = std::filesystem::u8path(path);
        std::error_code ignored;
        if (std::filesystem::symlink_status(name, ignored).type() == std::filesystem::file_type::regular) {
            std::filesystem::remove(name, ignored);
        }
    } catch (const std::exception&) {
    }
}
#else
std::FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::FILE* CreateNewFile(const std::string& path) { return std::fopen(path.c_str(), "wbx"); }

// The scratch file's name is removed as soon as it is made.
std::FILE* OpenScratchFile() {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error) return nullptr;
    std::string name = (folder / "DeviceCommand-XXXXXX").string();
    const int descriptor = ::mkstemp(&name[0]);
    if (descriptor < 0) return nullptr;
    ::unlink(name.c_str());
    std::FILE* file = ::fdopen(descriptor, "w+b");
    if (file == nullptr) ::close(descriptor);
    return file;
}

void RemoveFile(const std::string& path) {
    struct stat status;
    if (::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) ::unlink(path.c_str());
}
#endif

// ------------------------------------------------------------ parsing

azk_SParseResult ParseDeviceCommand(const std::vector<std::string>& words, azk_SDeviceCommandOptions& options) {
    options = azk_SDeviceCommandOptions{};
    CLI::App app{"DeviceCommand: runs the speakerphone's session commands.", "DeviceCommand"};
    app.footer(kExitStatusText);
    app.require_subcommand(1);
    // The same words on every system: on Windows too, "/name" is a rooted
    // file name, not an option.
    app.allow_windows_style_options(false);

    // Numbers are read as the fields are (ParseNumber): decimal or 0x hex, so
    // that a leading zero does not make a word octal.
    std::string variant = "1", index = "0", commandId;
    app.add_option("--variant", variant, "1: 16-byte reports (default), 2: 64-byte reports")->type_name("INT:{1,2}");
    app.add_option("--index", index, "which device of the variant, 0 = the first (default)")->type_name("INT");
    app.add_flag("--json", options.json, "print one JSON document on standard output");

    auto* list = app.add_subcommand("list", "list the HID interfaces with the speakerphone's vendor ID, "
                                            "and why one cannot be opened");

    auto* keylock = app.add_subcommand("keylock", "show or change the key-lock configuration");
    keylock->require_subcommand(1);
    const std::vector<std::string> keyNames = {"Bluetooth", "Call", "MicMute", "VolDown", "VolUp", "SpMute"};
    std::string se;
    auto* show = keylock->add_subcommand("show", "show the configuration in force");
    auto* reset = keylock->add_subcommand("reset", "copy the default configuration over the one in force");
    CLI::App* changers[2] = {
        keylock->add_subcommand("set", "lock these keys (none: unlock all) and set the sound effect"),
        keylock->add_subcommand("apply", "as set, but write only when the configuration differs; "
                                         "says whether it changed anything")};
    for (CLI::App* changer : changers) {
        changer->add_option("--lock", options.lockKeys, "the keys to lock: Bluetooth Call MicMute VolDown VolUp SpMute")
            ->required()
            ->expected(0, static_cast<int>(keyNames.size()))
            ->check(CLI::IsMember(keyNames));
        changer->add_option("--se", se, "sound effect when a locked key is pressed: on or off")
            ->required()
            ->check(CLI::IsMember({"on", "off"}));
    }

    auto* exec = app.add_subcommand("exec", "run catalogue command ID with FIELD=VALUE inputs");
    exec->add_option("ID", commandId, "command id, 0 to 82")->required()->type_name("INT");
    exec->add_option("FIELD=VALUE", options.assignments, "input fields, named as 'exec ID --fields' lists them");
    bool listFields = false;
    exec->add_flag("--fields", listFields, "list the command's fields and run nothing");

    std::string function = "0800";
    std::string address, count, selector, target;
    CLI::App* blocks[2] = {app.add_subcommand("read-block", "read device memory into FILE"),
                           app.add_subcommand("write-block", "write FILE into device memory")};
    for (CLI::App* block : blocks) {
        block->add_option("FILE", options.file, "the file")->required();
        block->add_option("--address", address, "start address (decimal or 0x hex)")->required();
        block->add_option("--count", count, block == blocks[0] ? "bytes to read" : "bytes to write (default: the whole file)");
        block->add_option("--function", function, "0800 (default), 0802 or 0E05")
            ->check(CLI::IsMember({"0800", "0802", "0E05", "0e05"}));
        block->add_option("--selector", selector, "the selector byte sent as arg (default 0)");
        block->add_option("--target", target, "the target (default 0; function 0E05 sends 0)");
    }
    blocks[0]->get_option("--count")->required();

    auto* raw = app.add_subcommand("raw", "send a whole message (command 82), header included, given in hex");
    raw->add_option("HEX", options.hex, "the message bytes in hex, for example '02 36 00 00 00 00 00 00'")
        ->required();

    azk_SParseResult result;
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        result.outcome = ParseOutcome::Help;
        result.text = app.help();
        return result;
    } catch (const CLI::ParseError& error) {
        result.outcome = ParseOutcome::Usage;
        result.text = error.what();
        return result;
    }
    // "--lock" with no key (unlock every key) comes back as one empty word.
    options.lockKeys.erase(std::remove(options.lockKeys.begin(), options.lockKeys.end(), std::string()),
                           options.lockKeys.end());
    options.seOn = IsTrue(se);

    auto number = [&](const std::string& text, uint64_t max, const char* what, uint32_t& out) {
        uint64_t value = 0;
        if (!ParseNumber(text, max, value)) {
            result.text = std::string(what) + ": '" + text + "' is not a number from 0 to " + std::to_string(max);
            return false;
        }
        out = static_cast<uint32_t>(value);
        return true;
    };
    uint32_t value = 0;
    if (!number(variant, 2, "--variant", value) || value == 0) {
        result.text = "--variant: '" + variant + "' is not 1 or 2";
        return result;
    }
    options.variant = static_cast<int32_t>(value);
    options.variantGiven = app.get_option("--variant")->count() > 0;
    if (!number(index, INT32_MAX, "--index", value)) return result;
    options.index = static_cast<int32_t>(value);

    if (list->parsed()) {
        options.subcommand = Subcommand::List;
    } else if (show->parsed()) {
        options.subcommand = Subcommand::KeylockShow;
    } else if (reset->parsed()) {
        options.subcommand = Subcommand::KeylockReset;
    } else if (changers[0]->parsed() || changers[1]->parsed()) {
        // "--lock" alone comes back as one empty word, and so does an empty
        // word given as a key (an empty variable in a script); only the first
        // unlocks every key. No other word of these subcommands can be empty.
        for (const std::string& word : words) {
            if (word.empty() || word == "--lock=") {
                result.text = "--lock: an empty word is not a key name (--lock alone unlocks every key)";
                return result;
            }
        }
        options.subcommand = changers[0]->parsed() ? Subcommand::KeylockSet : Subcommand::KeylockApply;
    } else if (exec->parsed()) {
        if (!number(commandId, 82, "ID", value)) return result;
        options.commandId = static_cast<int32_t>(value);
        // With or without --fields, an id that exec does not run is a usage error.
        if (!IsExecCommand(options.commandId)) {
            result.text = "exec: command " + std::to_string(options.commandId) +
                          " is not a catalogue command (27 does not exist; 29/30 are 'keylock', 64 is the firmware "
                          "update, 82 is 'raw', 51/52/55/56/77/78 are 'read-block'/'write-block')";
            return result;
        }
        if (listFields) {
            result.outcome = ParseOutcome::Help;
            result.text = ExecFieldsText(options.commandId);
            return result;
        }
        options.subcommand = Subcommand::Exec;
    } else if (blocks[0]->parsed() || blocks[1]->parsed()) {
        const bool read = blocks[0]->parsed();
        options.subcommand = read ? Subcommand::ReadBlock : Subcommand::WriteBlock;
        if (function == "0800") {
            options.blockCommand = read ? SESSION_CMD_BLOCK_READ_0800 : SESSION_CMD_BLOCK_WRITE_0800;
        } else if (function == "0802") {
            options.blockCommand = read ? SESSION_CMD_BLOCK_READ_0802 : SESSION_CMD_BLOCK_WRITE_0802;
        } else {
            options.blockCommand = read ? SESSION_CMD_BLOCK_READ_0E05 : SESSION_CMD_BLOCK_WRITE_0E05;
        }
        if (!number(address, 0xFFFFFFFFu, "--address", options.address)) return result;
        if (!count.empty() && !number(count, 0xFFFFFFFFu, "--count", options.count)) return result;
        if (!selector.empty() && !number(selector, 0xFF, "--selector", options.selector)) return result;
        if (!target.empty() && !number(target, 0xFF, "--target", options.target)) return result;
    } else if (raw->parsed()) {
        options.subcommand = Subcommand::Raw;
    }
    result.outcome = ParseOutcome::Run;
    return result;
}

// ------------------------------------------------------------ running

int RunDeviceCommand(const azk_SDeviceCommandOptions& options, std::ostream& out, std::ostream& err,
                     bool terminal) {
    const char* name = SubcommandName(options.subcommand);
    Json json;
    json["ok"] = true;
    json["command"] = name;
    std::string text;
    try {
        RunSubcommand(options, err, terminal, json, text);
    } catch (const Failure& failure) {
        if (options.json) {
            out << ErrorJson(failure, name).dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
        } else {
            err << "DeviceCommand: " << failure.what();
            if (failure.hasStatus) err << " (status " << failure.status << ", detail " << failure.detail << ")";
            err << " [" << failure.result << " " << ResultName(failure.result) << "]\n";
        }
        return failure.exitStatus;
    } catch (const std::bad_alloc&) {
        const Failure failure(SESSION_RESULT_INITIALIZE, "out of memory", kExitRefused);
        if (options.json) {
            out << ErrorJson(failure, name).dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
        } else {
            err << "DeviceCommand: out of memory\n";
        }
        return failure.exitStatus;
    }
    if (options.json) {
        out << json.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    } else {
        out << text;
    }
    return kExitOk;
}

namespace {

int ParseAndRun(const std::vector<std::string>& words, std::ostream& out, std::ostream& err, bool terminal) {
    azk_SDeviceCommandOptions options;
    const azk_SParseResult parsed = ParseDeviceCommand(words, options);
    switch (parsed.outcome) {
    case ParseOutcome::Help: out << parsed.text; return kExitOk;
    case ParseOutcome::Usage: {
        bool json = false;
        for (const std::string& word : words) json = json || word == "--json";
        const Failure failure(SESSION_RESULT_PARAMETER, parsed.text, kExitUsage);
        if (json) {
            out << ErrorJson(failure, "").dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
        } else {
            err << "DeviceCommand: " << parsed.text << "\nRun 'DeviceCommand --help' for the usage.\n";
        }
        return kExitUsage;
    }
    case ParseOutcome::Run: break;
    }
    return RunDeviceCommand(options, out, err, terminal);
}

}  // namespace

int DeviceCommandMain(const std::vector<std::string>& words, std::ostream& out, std::ostream& err, bool terminal) {
    const int status = ParseAndRun(words, out, err, terminal);
    // What was done (the device may have been changed) must be reported: an
    // output that could not be written is a failure of its own.
    out.flush();
    if (!out.fail()) return status;
    err << "DeviceCommand: cannot write standard output\n";
    return status == kExitOk ? kExitFile : status;
}

}  // namespace azk::devcmd
