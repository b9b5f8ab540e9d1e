#include "transport/platform/linux/LinuxPlatform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "support/ByteOrder.h"
#include "support/Timeouts.h"
#include "transport/ReportDescriptor.h"

namespace azk::linuxhid {
namespace {

constexpr const char kHidrawPrefix[] = "hidraw:";
constexpr const char kVhidPrefix[] = "vhid:";

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = other.Release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Milliseconds left until `deadline`, for poll(); -1 without a deadline.
class Deadline {
public:
    explicit Deadline(int32_t timeoutMs)
        : infinite_(timeoutMs == -1),
          end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0))) {}
    int Remaining() const {
        if (infinite_) return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<int64_t>(0, left.count()));
    }

private:
    bool infinite_;
    std::chrono::steady_clock::time_point end_;
};

// poll() that resumes after signals.
int PollRetry(pollfd* fds, nfds_t n, const Deadline& deadline) {
    for (;;) {
        const int rc = ::poll(fds, n, deadline.Remaining());
        if (rc >= 0 || errno != EINTR) return rc;
    }
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, size_t limit) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return false;
    out.clear();
    uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (out.size() + static_cast<size_t>(n) > limit) return false;
        out.insert(out.end(), chunk, chunk + n);
    }
}

// HID_ID=0003:0000VVVV:0000PPPP from a sysfs uevent file.
bool ParseHidId(const std::vector<uint8_t>& uevent, HidAttributes& attributes) {
    std::istringstream lines(std::string(uevent.begin(), uevent.end()));
    std::string line;
    while (std::getline(lines, line)) {
        if (!StartsWith(line, "HID_ID=")) continue;
        unsigned bus = 0, vendor = 0, product = 0;
        if (std::sscanf(line.c_str() + 7, "%x:%x:%x", &bus, &vendor, &product) != 3) return false;
        if (vendor > 0xFFFF || product > 0xFFFF) return false;
        attributes.vendorId = static_cast<uint16_t>(vendor);
        attributes.productId = static_cast<uint16_t>(product);
        return true;
    }
    return false;
}

// One open interface: a hidraw node or a connected vhid socket. Both carry
// one report per read and write, with the report ID byte of numbered input
// reports only.
class LinuxInterface final : public HidInterface {
public:
    // The interface is one top-level collection of the descriptor, as on
    // Windows: its capabilities, and only the input reports it owns.
    LinuxInterface(Fd fd, bool isSocket, HidAttributes attributes, HidDescriptorInfo info, size_t collection)
        : fd_(std::move(fd)),
          isSocket_(isSocket),
          attributes_(attributes),
          info_(std::move(info)),
          collection_(static_cast<int>(collection)),
          caps_(info_.collections[collection].caps),
          numbered_(info_.numbered) {}

    const HidAttributes& Attributes() const override { return attributes_; }
    const HidCapabilities& Capabilities() const override { return caps_; }
    uint32_t MaxUsageListLength(HidReportType type, uint16_t usagePage) const override {
        return HidMaxUsageListLength(caps_, type, usagePage);
    }

    bool CreateIoEvents() override {
        wake_ = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        return wake_.Valid();
    }

    void WakeRead() override {
        // The eventfd is never read back: once woken, every read fails at once.
        const uint64_t one = 1;
        if (wake_.Valid()) {
            [[maybe_unused]] const ssize_t n = ::write(wake_.Get(), &one, sizeof one);
        }
    }

    HidIoResult Read(uint8_t* buffer, size_t length, int32_t timeoutMs) override {
        if (length == 0) return HidIoResult::Failed;
        // Unnumbered reports come without their ID byte: it is put back as 0.
        uint8_t* dest = numbered_ ? buffer : buffer + 1;
        const size_t want = numbered_ ? length : length - 1;
        const Deadline deadline(timeoutMs);
        for (;;) {
            pollfd fds[2] = {{fd_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
            const int rc = PollRetry(fds, wake_.Valid() ? 2 : 1, deadline);
            if (rc < 0) return HidIoResult::Failed;
            if (rc == 0) return HidIoResult::TimedOut;
            if (wake_.Valid() && fds[1].revents != 0) return HidIoResult::Failed;
            if ((fds[0].revents & POLLIN) == 0) return HidIoResult::Failed;  // hang-up, error
            ssize_t n;
            if (isSocket_) {
                n = ::recv(fd_.Get(), dest, want, MSG_TRUNC | MSG_DONTWAIT);
            } else {
                n = ::read(fd_.Get(), dest, want);
            }
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                return HidIoResult::Failed;  // ENODEV, ECONNRESET, ...
            }
            if (n == 0) return HidIoResult::Failed;  // end of file: the device is gone
            if (static_cast<size_t>(n) > kVhidMaxMessage) continue;  // oversized: dropped
            // A report of another top-level collection belongs to another interface.
            if (numbered_ && info_.collections.size() > 1 &&
                info_.FindCollection(HidReportType::Input, dest[0]) != collection_) {
                continue;
            }
            if (static_cast<size_t>(n) < want) std::memset(dest + n, 0, want - static_cast<size_t>(n));
            if (!numbered_) buffer[0] = 0;
            return HidIoResult::Ok;
        }
    }

    HidIoResult Write(const uint8_t* buffer, size_t length, int32_t timeoutMs) override {
        const Deadline deadline(timeoutMs);
        for (;;) {
            const ssize_t n = isSocket_ ? ::send(fd_.Get(), buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT)
                                        : ::write(fd_.Get(), buffer, length);
            if (n >= 0) return static_cast<size_t>(n) == length ? HidIoResult::Ok : HidIoResult::Failed;
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return HidIoResult::Failed;
            pollfd fds[1] = {{fd_.Get(), POLLOUT, 0}};
            const int rc = PollRetry(fds, 1, deadline);
            if (rc == 0) return HidIoResult::TimedOut;  // abandoned: nothing was sent
            if (rc < 0 || (fds[0].revents & POLLOUT) == 0) return HidIoResult::Failed;
        }
    }

private:
    Fd fd_;
    Fd wake_;
    bool isSocket_;
    HidAttributes attributes_;
    HidDescriptorInfo info_;
    int collection_;
    HidCapabilities caps_;
    bool numbered_;
};

bool ParseDescriptor(const uint8_t* data, size_t length, HidDescriptorInfo& info) {
    return ParseReportDescriptor(data, length, info) && !info.collections.empty();
}

// The vhid directory is used only when it is a real directory of this user
// that nobody else can write to.
bool TrustedDirectory(const std::string& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::vector<std::string> ListDirectory(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return names;
    while (const dirent* entry = ::readdir(d)) names.emplace_back(entry->d_name);
    ::closedir(d);
    return names;
}

}  // namespace

std::string VhidDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/azk-vhid";
    return "/tmp/azk-vhid-" + std::to_string(::getuid());
}

LinuxHidPlatform::LinuxHidPlatform(std::string sysfsRoot, std::string devRoot)
    : sysfsRoot_(std::move(sysfsRoot)), devRoot_(std::move(devRoot)) {}

std::vector<std::string> LinuxHidPlatform::ListInterfaces() {
    std::vector<std::string> paths;

    // Kernel hidraw nodes, by number.
    std::vector<std::pair<unsigned long, std::string>> nodes;
    for (const std::string& name : ListDirectory(sysfsRoot_)) {
        if (!StartsWith(name, "hidraw") || name.size() == 6 || name.size() > 16) continue;
        if (name.find_first_not_of("0123456789", 6) != std::string::npos) continue;
        nodes.emplace_back(std::stoul(name.substr(6)), name);
    }
    std::sort(nodes.begin(), nodes.end());
    for (const auto& node : nodes) {
        // A node whose descriptor has several top-level collections is
        // listed once per collection ("hidraw:hidraw3#1"), as Windows lists
        // them as interfaces of their own.
        HidDescriptorInfo info;
        size_t collections = 1;
        std::vector<uint8_t> descriptor;
        if (ReadWholeFile(sysfsRoot_ + "/" + node.second + "/device/report_descriptor", descriptor,
                          HID_MAX_DESCRIPTOR_SIZE) &&
            ParseDescriptor(descriptor.data(), descriptor.size(), info)) {
            collections = info.collections.size();
        }
        for (size_t k = 0; k < collections; ++k) {
            paths.push_back(kHidrawPrefix + node.second + (k == 0 ? "" : "#" + std::to_string(k)));
        }
    }

    // vhid sockets, by file name.
    const std::string dir = VhidDirectory();
    if (TrustedDirectory(dir)) {
        std::vector<std::string> sockets;
        for (const std::string& name : ListDirectory(dir)) {
            if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".sock") != 0) continue;
            struct stat st {};
            const std::string path = dir + "/" + name;
            if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) sockets.push_back(name);
        }
        std::sort(sockets.begin(), sockets.end());
        for (const std::string& name : sockets) paths.push_back(kVhidPrefix + dir + "/" + name);
    }
    return paths;
}

std::unique_ptr<HidInterface> LinuxHidPlatform::OpenInterface(const std::string& path) {
    if (StartsWith(path, kHidrawPrefix)) {
        std::string name = path.substr(sizeof kHidrawPrefix - 1);
        size_t collection = 0;
        const size_t hash = name.find('#');
        if (hash != std::string::npos) {
            const std::string index = name.substr(hash + 1);
            if (index.empty() || index.size() > 4 || index.find_first_not_of("0123456789") != std::string::npos) {
                return nullptr;
            }
            collection = std::stoul(index);
            name.resize(hash);
        }
        return OpenHidraw(name, collection);
    }
    if (StartsWith(path, kVhidPrefix)) return OpenVhid(path.substr(sizeof kVhidPrefix - 1));
    return nullptr;
}

std::unique_ptr<HidInterface> LinuxHidPlatform::OpenHidraw(const std::string& name, size_t collection) {
    const std::string sysDevice = sysfsRoot_ + "/" + name + "/device";
    std::vector<uint8_t> uevent;
    HidAttributes attributes;
    if (!ReadWholeFile(sysDevice + "/uevent", uevent, 64 * 1024) || !ParseHidId(uevent, attributes)) {
        return nullptr;
    }
    // A node we may not open (permissions, held exclusively) is skipped.
    Fd fd(::open((devRoot_ + "/" + name).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) return nullptr;

    std::vector<uint8_t> descriptor;
    if (!ReadWholeFile(sysDevice + "/report_descriptor", descriptor, HID_MAX_DESCRIPTOR_SIZE) ||
        descriptor.empty()) {
        int size = 0;
        if (::ioctl(fd.Get(), HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
            return nullptr;
        }
        hidraw_report_descriptor rd {};
        rd.size = static_cast<uint32_t>(size);
        if (::ioctl(fd.Get(), HIDIOCGRDESC, &rd) < 0) return nullptr;
        descriptor.assign(rd.value, rd.value + size);
    }
    HidDescriptorInfo info;
    if (!ParseDescriptor(descriptor.data(), descriptor.size(), info) || collection >= info.collections.size()) {
        return nullptr;
    }
    return std::make_unique<LinuxInterface>(std::move(fd), false, attributes, std::move(info), collection);
}

std::unique_ptr<HidInterface> LinuxHidPlatform::OpenVhid(const std::string& socketPath) {
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return nullptr;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    // Non-blocking: a blocking connect to a server whose listen backlog is
    // full waits until that server accepts, which a stuck one never does.
    // Connect and hello share the hello's 1000 ms.
    Fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) return nullptr;
    const Deadline deadline(azk_CTimeouts::Scaled(kVhidHelloTimeoutMs));
    while (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // EAGAIN: the backlog is full, try again shortly. ECONNREFUSED: a
        // server that died; no device.
        if (errno != EAGAIN || deadline.Remaining() == 0) return nullptr;
        ::poll(nullptr, 0, std::min(10, deadline.Remaining()));
    }

    // Only a server of this user (or root) is believed.
    ucred peer {};
    socklen_t peerLength = sizeof peer;
    if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 ||
        (peer.uid != ::getuid() && peer.uid != 0)) {
        return nullptr;
    }

    // The hello, within 1000 ms; a connection closed before it is a device
    // held by another program.
    uint8_t hello[kVhidHelloHeader + kVhidMaxMessage];
    pollfd pfd = {fd.Get(), POLLIN, 0};
    if (PollRetry(&pfd, 1, deadline) <= 0 || (pfd.revents & POLLIN) == 0) {
        return nullptr;
    }
    const ssize_t n = ::recv(fd.Get(), hello, sizeof hello, MSG_TRUNC | MSG_DONTWAIT);
    if (n < static_cast<ssize_t>(kVhidHelloHeader) || static_cast<size_t>(n) > sizeof hello ||
        std::memcmp(hello, "VHID", 4) != 0 || Read16(hello + 4) != 1) {
        return nullptr;
    }
    const uint16_t descriptorLength = Read16(hello + 12);
    if (descriptorLength < 1 || descriptorLength > kVhidMaxMessage ||
        static_cast<size_t>(n) != kVhidHelloHeader + descriptorLength) {
        return nullptr;
    }
    HidAttributes attributes;
    attributes.vendorId = Read16(hello + 6);
    attributes.productId = Read16(hello + 8);
    attributes.versionNumber = Read16(hello + 10);
    HidDescriptorInfo info;
    if (!ParseDescriptor(hello + kVhidHelloHeader, descriptorLength, info)) return nullptr;
    return std::make_unique<LinuxInterface>(std::move(fd), true, attributes, std::move(info), 0);
}

}  // namespace azk::linuxhid

namespace azk {
HidPlatform& GetHidPlatform() {
    static linuxhid::LinuxHidPlatform platform;
    return platform;
}
}  // namespace azk
