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
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>

#include "support/ByteOrder.h"
#include "support/SeqPacket.h"
#include "support/Timeouts.h"
#include "transport/platform/hidparse/ReportDescriptor.h"

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

// Writes one report at a time to a hidraw node, on a thread of its own. hidraw's write() does
// not return until the device has taken the report or the kernel gives up
// (5 s for a USB device), whatever O_NONBLOCK says; so the caller hands the
// report over and waits only for its own time-out. A write still in progress
// then is abandoned: it finishes on this thread, and until it has, every
// further write fails at once instead of queueing behind it.
class azk_CReportWriter {
public:
    explicit azk_CReportWriter(int fd) : fd_(fd) {}
    ~azk_CReportWriter() { Stop(); }
    azk_CReportWriter(const azk_CReportWriter&) = delete;
    azk_CReportWriter& operator=(const azk_CReportWriter&) = delete;

    // Allocates everything a write needs (reports up to maxLength bytes)
    // and starts the thread. False when that cannot be had.
    bool Start(size_t maxLength) {
        if (thread_.joinable()) return true;
        stop_ = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!stop_.Valid()) return false;
        try {
            buffer_.assign(std::max<size_t>(maxLength, 1), 0);
            thread_ = std::thread([this] { Run(); });
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }

    HidIoResult Write(const uint8_t* data, size_t length, int32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!thread_.joinable() || length > buffer_.size()) return HidIoResult::Failed;
        // An abandoned write that is still stuck: this one fails at once.
        if (state_ != State::Idle) return HidIoResult::Failed;
        std::memcpy(buffer_.data(), data, length);
        length_ = length;
        state_ = State::Queued;
        changed_.notify_all();
        const auto finished = [this] { return state_ == State::Idle; };
        if (timeoutMs == -1) {
            changed_.wait(lock, finished);
        } else {
            changed_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)), finished);
        }
        switch (state_) {
        case State::Idle: return result_;
        case State::Queued: state_ = State::Idle; break;  // never started: nothing is written
        case State::Busy: break;                           // abandoned: it ends on its own
        }
        return HidIoResult::TimedOut;
    }

private:
    enum class State { Idle, Queued, Busy };

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            changed_.notify_all();
        }
        const uint64_t one = 1;
        if (stop_.Valid()) {
            [[maybe_unused]] const ssize_t n = ::write(stop_.Get(), &one, sizeof one);
        }
        // A write held by the kernel ends with the kernel's own time-out.
        if (thread_.joinable()) thread_.join();
    }

    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stopping_ || state_ == State::Queued; });
            if (stopping_) return;
            state_ = State::Busy;
            lock.unlock();
            const HidIoResult result = Transfer();
            lock.lock();
            result_ = result;
            state_ = State::Idle;
            changed_.notify_all();
        }
    }

    // The whole report, however long that takes; only stopping ends a wait.
    HidIoResult Transfer() {
        for (;;) {
            const ssize_t n = ::write(fd_, buffer_.data(), length_);
            if (n >= 0) return static_cast<size_t>(n) == length_ ? HidIoResult::Ok : HidIoResult::Failed;
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return HidIoResult::Failed;
            pollfd fds[2] = {{fd_, POLLOUT, 0}, {stop_.Get(), POLLIN, 0}};
            const int rc = PollRetry(fds, 2, Deadline(-1));
            if (rc < 0 || fds[1].revents != 0 || (fds[0].revents & POLLOUT) == 0) return HidIoResult::Failed;
        }
    }

    const int fd_;
    Fd stop_;
    std::vector<uint8_t> buffer_;
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::Idle;  // guarded by mutex_; buffer_ and length_ belong to the
    size_t length_ = 0;          // writer thread while Busy, to Write otherwise
    HidIoResult result_ = HidIoResult::Failed;
    bool stopping_ = false;
};

// How an interface's reports are written.
enum class WritePath {
    Socket,      // a vhid socket: a send never waits for the device
    Node,        // a hidraw node whose write() only queues the report
    NodeThread,  // a hidraw node whose write() waits: on the writer thread
};

// The node of a device played through uhid (its sysfs entry under
// /sys/devices/virtual/misc/uhid/) only queues a report for the program
// playing the device and returns at once. Any other node (a USB device
// above all) waits in write() until the device takes the report, and so is
// taken to do one whose sysfs entry cannot be read.
WritePath HidrawWritePath(const std::string& sysfsRoot, const std::string& name) {
    char target[4096];
    const ssize_t n = ::readlink((sysfsRoot + "/" + name).c_str(), target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return WritePath::NodeThread;
    const std::string_view entry(target, static_cast<size_t>(n));
    const bool uhid = entry.find("/devices/virtual/misc/uhid/") != std::string_view::npos;
    return uhid ? WritePath::Node : WritePath::NodeThread;
}

// One open interface: a hidraw node or a connected vhid socket. Both carry
// one report per read and write, with the report ID byte of numbered input
// reports only.
class LinuxInterface final : public HidInterface {
public:
    // The interface is one top-level collection of the descriptor, as on
    // Windows: its capabilities, and only the input reports it owns.
    LinuxInterface(Fd fd, WritePath writePath, HidAttributes attributes, HidDescriptorInfo info, size_t collection)
        : fd_(std::move(fd)),
          isSocket_(writePath == WritePath::Socket),
          writeThread_(writePath == WritePath::NodeThread),
          attributes_(attributes),
          info_(std::move(info)),
          collection_(static_cast<int>(collection)),
          caps_(info_.collections[collection].caps),
          numbered_(info_.numbered),
          writer_(fd_.Get()) {}

    const HidAttributes& Attributes() const override { return attributes_; }
    const HidCapabilities& Capabilities() const override { return caps_; }
    uint32_t MaxUsageListLength(HidReportType type, uint16_t usagePage) const override {
        return HidMaxUsageListLength(caps_, type, usagePage);
    }

    bool CreateIoEvents() override {
        if (!wake_.Valid()) wake_ = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!interrupt_.Valid()) interrupt_ = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_.Valid() || !interrupt_.Valid()) return false;
        if (isSocket_) {
            // Blocking from now on, for timed reads in recv(); every other
            // call on it says MSG_DONTWAIT.
            const int flags = ::fcntl(fd_.Get(), F_GETFL);
            return flags >= 0 && ::fcntl(fd_.Get(), F_SETFL, flags & ~O_NONBLOCK) == 0;
        }
        return !writeThread_ || writer_.Start(caps_.Of(HidReportType::Output).byteLength);
    }

    void WakeRead() override {
        // The eventfd is never read back: once woken, every read fails at once.
        woken_.store(true, std::memory_order_release);
        // A socket read waiting in recv() wakes when the socket stops
        // receiving.
        if (isSocket_) ::shutdown(fd_.Get(), SHUT_RD);
        const uint64_t one = 1;
        if (wake_.Valid()) {
            [[maybe_unused]] const ssize_t n = ::write(wake_.Get(), &one, sizeof one);
        }
    }

    bool CanInterruptRead() const override { return true; }

    void InterruptRead() override {
        const uint64_t one = 1;
        if (interrupt_.Valid()) {
            [[maybe_unused]] const ssize_t n = ::write(interrupt_.Get(), &one, sizeof one);
        }
    }

    HidIoResult Read(uint8_t* buffer, size_t length, int32_t timeoutMs) override {
        if (length == 0) return HidIoResult::Failed;
        // Unnumbered reports come without their ID byte: it is put back as 0.
        uint8_t* dest = numbered_ ? buffer : buffer + 1;
        const size_t want = numbered_ ? length : length - 1;
        // Before CreateIoEvents there is nothing to wake or interrupt a read.
        const nfds_t count = wake_.Valid() && interrupt_.Valid() ? 3 : 1;
        // A read that does not wait goes straight to the node or socket
        // (both non-blocking): one system call when nothing is there. It
        // leaves an interrupt to the next read that waits.
        const bool waits = timeoutMs == -1 || timeoutMs > 0;
        // A timed read on a socket waits in recv() itself, without poll():
        // the socket is blocking, with the time-out as its receive time-out.
        // It leaves an interrupt to the next read without a time-out.
        if (isSocket_ && timeoutMs > 0 && count > 1) return ReceiveWithin(dest, want, buffer, timeoutMs);
        // A read that waits on a node tries the node first: a report that
        // came while the request was written is taken with one system call,
        // as a blocking read takes it. Only when none is there does it wait
        // in poll() (leaving an interrupt to that wait).
        bool tryFirst = !isSocket_ && waits;
        std::optional<Deadline> deadline;  // from the first wait in poll()
        for (;;) {
            if (!waits || tryFirst) {
                if (woken_.load(std::memory_order_acquire)) return HidIoResult::Failed;
            } else {
                pollfd fds[3] = {{fd_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}, {interrupt_.Get(), POLLIN, 0}};
                if (!deadline) deadline.emplace(timeoutMs);
                const int rc = PollRetry(fds, count, *deadline);
                if (rc < 0) return HidIoResult::Failed;
                if (rc == 0) return HidIoResult::TimedOut;
                if (count > 1 && fds[1].revents != 0) return HidIoResult::Failed;
                if (count > 1 && fds[2].revents != 0) {
                    uint64_t interrupts = 0;  // read back: one interrupt ends one read
                    [[maybe_unused]] const ssize_t n = ::read(interrupt_.Get(), &interrupts, sizeof interrupts);
                    return HidIoResult::Interrupted;
                }
                if ((fds[0].revents & POLLIN) == 0) return HidIoResult::Failed;  // hang-up, error
            }
            ssize_t n;
            if (isSocket_) {
                n = ::recv(fd_.Get(), dest, want, MSG_TRUNC | MSG_DONTWAIT);
            } else {
                n = ::read(fd_.Get(), dest, want);
            }
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN) {
                    tryFirst = false;
                    if (waits) continue;
                    return HidIoResult::TimedOut;
                }
                return HidIoResult::Failed;  // ENODEV, ECONNRESET, ...
            }
            if (n == 0) {
                // End of file: the device is gone. On a socket an empty
                // message reads the same; it is dropped while the
                // connection stays up.
                if (!isSocket_ || SeqPacketPeerGone(fd_.Get())) return HidIoResult::Failed;
                continue;
            }
            if (Accept(buffer, dest, static_cast<size_t>(n), want)) return HidIoResult::Ok;
        }
    }

    HidIoResult Write(const uint8_t* buffer, size_t length, int32_t timeoutMs) override {
        if (writeThread_) return writer_.Write(buffer, length, timeoutMs);
        if (!wake_.Valid()) return HidIoResult::Failed;  // before CreateIoEvents
        // Written on the caller's thread: a report goes whole into the
        // socket's buffer or the node's queue at once, or waits here for
        // room until the time-out (nothing is written then).
        std::optional<Deadline> deadline;  // from the first wait for room
        for (;;) {
            const ssize_t n = isSocket_ ? ::send(fd_.Get(), buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT)
                                        : ::write(fd_.Get(), buffer, length);
            if (n >= 0) return static_cast<size_t>(n) == length ? HidIoResult::Ok : HidIoResult::Failed;
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return HidIoResult::Failed;
            if (!deadline) deadline.emplace(timeoutMs);
            pollfd fds[2] = {{fd_.Get(), POLLOUT, 0}, {wake_.Get(), POLLIN, 0}};
            const int rc = PollRetry(fds, 2, *deadline);
            if (rc < 0 || fds[1].revents != 0) return HidIoResult::Failed;
            if (rc == 0) return HidIoResult::TimedOut;
        }
    }

private:
    // Read on a socket, waiting in recv() up to timeoutMs (> 0).
    HidIoResult ReceiveWithin(uint8_t* dest, size_t want, uint8_t* buffer, int32_t timeoutMs) {
        const Deadline deadline(timeoutMs);
        int32_t wait = timeoutMs;
        for (;;) {
            if (woken_.load(std::memory_order_acquire)) return HidIoResult::Failed;
            if (wait <= 0) return HidIoResult::TimedOut;
            if (wait != receiveTimeoutMs_) {
                const timeval tv = {wait / 1000, (wait % 1000) * 1000};
                if (::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return HidIoResult::Failed;
                receiveTimeoutMs_ = wait;
            }
            const ssize_t n = ::recv(fd_.Get(), dest, want, MSG_TRUNC);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                wait = deadline.Remaining();
                continue;
            }
            if (n < 0) return HidIoResult::Failed;
            if (n == 0) {
                if (woken_.load(std::memory_order_acquire) || SeqPacketPeerGone(fd_.Get())) return HidIoResult::Failed;
            } else if (Accept(buffer, dest, static_cast<size_t>(n), want)) {
                return HidIoResult::Ok;
            }
            wait = deadline.Remaining();
        }
    }

    // Completes a report of `n` bytes received at `dest` in `buffer` (zero
    // fill, the ID byte of an unnumbered report); false for one that is not
    // this interface's input report.
    bool Accept(uint8_t* buffer, uint8_t* dest, size_t n, size_t want) const {
        if (!IsOurReport(dest, n, want)) return false;
        if (n < want) std::memset(dest + n, 0, want - n);
        if (!numbered_) buffer[0] = 0;
        return true;
    }

    // Whether `n` bytes just received (report ID byte first when numbered)
    // are an input report of this interface. A report whose ID the
    // descriptor does not declare for this collection is dropped. On a vhid
    // socket a message is exactly one report, so one of another length than
    // its report's is dropped too; hidraw hands over what the device sent,
    // and a shorter report is zero-filled as on Windows.
    bool IsOurReport(const uint8_t* data, size_t n, size_t want) const {
        if (n > want) return false;  // more than the longest report: cut off, dropped
        const uint8_t id = numbered_ ? data[0] : 0;
        if (info_.FindCollection(HidReportType::Input, id) != collection_) return false;
        if (!isSocket_) return true;
        const size_t expected = info_.ReportByteLength(HidReportType::Input, id) - (numbered_ ? 0u : 1u);
        return n == expected;
    }

    Fd fd_;
    Fd wake_;
    std::atomic<bool> woken_{false};  // WakeRead was called
    int32_t receiveTimeoutMs_ = 0;    // the socket's SO_RCVTIMEO; 0: none set
    Fd interrupt_;
    bool isSocket_;
    bool writeThread_;  // writes go through writer_
    HidAttributes attributes_;
    HidDescriptorInfo info_;
    int collection_;
    HidCapabilities caps_;
    bool numbered_;
    azk_CReportWriter writer_;  // WritePath::NodeThread only; last: its thread ends before fd_ closes
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

// The entries of a directory, read straight into a buffer on the stack (no
// stream to allocate and no fstat, as opendir would).
std::vector<std::string> ListDirectory(const std::string& dir) {
    std::vector<std::string> names;
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.Valid()) return names;
    alignas(dirent64) char buffer[4096];
    for (;;) {
        const ssize_t n = ::getdents64(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return names;
        for (ssize_t pos = 0; pos < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + pos);
            names.emplace_back(entry->d_name);
            pos += entry->d_reclen;
        }
    }
}

// The hidraw nodes under a sysfs class directory, by number.
std::vector<std::string> HidrawNodes(const std::string& sysfsRoot) {
    std::vector<std::pair<unsigned long, std::string>> nodes;
    for (std::string& name : ListDirectory(sysfsRoot)) {
        if (!StartsWith(name, "hidraw") || name.size() == 6 || name.size() > 16) continue;
        if (name.find_first_not_of("0123456789", 6) != std::string::npos) continue;
        const unsigned long number = std::stoul(name.substr(6));
        nodes.emplace_back(number, std::move(name));
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<std::string> names;
    names.reserve(nodes.size());
    for (auto& node : nodes) names.push_back(std::move(node.second));
    return names;
}

// The vhid sockets of this user (full paths), by file name; none when the
// directory is not to be trusted.
std::vector<std::string> VhidSockets() {
    std::vector<std::string> sockets;
    const std::string dir = VhidDirectory();
    if (!TrustedDirectory(dir)) return sockets;
    for (const std::string& name : ListDirectory(dir)) {
        if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".sock") != 0) continue;
        struct stat st {};
        const std::string path = dir + "/" + name;
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) sockets.push_back(name);
    }
    std::sort(sockets.begin(), sockets.end());
    for (std::string& name : sockets) name = dir + "/" + name;
    return sockets;
}

// Opens a hidraw node and reads its IDs and descriptor: from the open node,
// one ioctl each (a session start pays for every system call), and where
// the node does not answer them, from the device's sysfs files. False when
// the node cannot be opened (permissions, held exclusively) or its IDs or
// descriptor cannot be had.
bool OpenHidrawNode(const std::string& sysfsRoot, const std::string& devRoot, const std::string& name, Fd& fd,
                    HidAttributes& attributes, HidDescriptorInfo& info) {
    fd = Fd(::open((devRoot + "/" + name).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) return false;

    const auto sysDevice = [&] { return sysfsRoot + "/" + name + "/device"; };
    hidraw_devinfo devinfo {};
    if (::ioctl(fd.Get(), HIDIOCGRAWINFO, &devinfo) == 0) {
        attributes.vendorId = static_cast<uint16_t>(devinfo.vendor);
        attributes.productId = static_cast<uint16_t>(devinfo.product);
    } else {
        std::vector<uint8_t> uevent;
        if (!ReadWholeFile(sysDevice() + "/uevent", uevent, 64 * 1024) || !ParseHidId(uevent, attributes)) {
            return false;
        }
    }
    int size = 0;
    hidraw_report_descriptor rd {};
    if (::ioctl(fd.Get(), HIDIOCGRDESCSIZE, &size) == 0 && size > 0 && size <= HID_MAX_DESCRIPTOR_SIZE) {
        rd.size = static_cast<uint32_t>(size);
        if (::ioctl(fd.Get(), HIDIOCGRDESC, &rd) == 0) return ParseDescriptor(rd.value, rd.size, info);
    }
    std::vector<uint8_t> descriptor;
    return ReadWholeFile(sysDevice() + "/report_descriptor", descriptor, HID_MAX_DESCRIPTOR_SIZE) &&
           ParseDescriptor(descriptor.data(), descriptor.size(), info);
}

HidOpenStatus StatusOfErrno(int error) {
    switch (error) {
    case EACCES:
    case EPERM: return HidOpenStatus::PermissionDenied;
    case EBUSY:
    case EAGAIN: return HidOpenStatus::Busy;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ECONNREFUSED: return HidOpenStatus::Gone;
    default: return HidOpenStatus::Failed;
    }
}

// "hidrawN" or "hidrawN#k" (the k-th top-level collection after the first).
bool SplitHidrawName(std::string name, std::string& node, size_t& collection) {
    collection = 0;
    const size_t hash = name.find('#');
    if (hash != std::string::npos) {
        const std::string index = name.substr(hash + 1);
        if (index.empty() || index.size() > 4 || index.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        collection = std::stoul(index);
        name.resize(hash);
    }
    node = std::move(name);
    return true;
}

// Connects to a vhid socket and receives its hello (vhid.md). On failure
// `status` and `error` say why: a server that closes at once, or that keeps
// the connection waiting past the hello time-out, serves someone else.
bool ConnectVhid(const std::string& socketPath, Fd& fd, std::vector<uint8_t>& hello, HidOpenStatus& status,
                 int& error) {
    status = HidOpenStatus::Failed;
    error = 0;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    // Non-blocking: a blocking connect to a server whose listen backlog is
    // full waits until that server accepts, which a stuck one never does.
    // Connect and hello share the hello's 1000 ms.
    fd = Fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) {
        error = errno;
        return false;
    }
    const Deadline deadline(azk_CTimeouts::Scaled(kVhidHelloTimeoutMs));
    while (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // EAGAIN: the backlog is full, try again shortly. ECONNREFUSED: a
        // server that died; no device.
        if (errno != EAGAIN || deadline.Remaining() == 0) {
            error = errno;
            status = StatusOfErrno(error);
            return false;
        }
        ::poll(nullptr, 0, std::min(10, deadline.Remaining()));
    }

    // Only a server of this user (or root) is believed.
    ucred peer {};
    socklen_t peerLength = sizeof peer;
    if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 ||
        (peer.uid != ::getuid() && peer.uid != 0)) {
        return false;
    }

    // The hello, within 1000 ms; a connection closed before it is a device
    // held by another program.
    pollfd pfd = {fd.Get(), POLLIN, 0};
    const int ready = PollRetry(&pfd, 1, deadline);
    if (ready == 0) status = HidOpenStatus::Busy;  // left waiting in the backlog
    if (ready <= 0 || (pfd.revents & POLLIN) == 0) return false;
    hello.assign(kVhidHelloHeader + kVhidMaxMessage, 0);
    const ssize_t n = ::recv(fd.Get(), hello.data(), hello.size(), MSG_TRUNC | MSG_DONTWAIT);
    // Closed at once; an empty message instead of the hello is malformed.
    if (n == 0 && SeqPacketPeerGone(fd.Get())) status = HidOpenStatus::Busy;
    if (n < static_cast<ssize_t>(kVhidHelloHeader) || static_cast<size_t>(n) > hello.size() ||
        std::memcmp(hello.data(), "VHID", 4) != 0 || Read16(hello.data() + 4) != 1) {
        return false;
    }
    const uint16_t descriptorLength = Read16(hello.data() + 12);
    if (descriptorLength < 1 || descriptorLength > kVhidMaxMessage ||
        static_cast<size_t>(n) != kVhidHelloHeader + descriptorLength) {
        return false;
    }
    hello.resize(static_cast<size_t>(n));
    status = HidOpenStatus::Opened;
    return true;
}

HidAttributes HelloAttributes(const std::vector<uint8_t>& hello) {
    HidAttributes attributes;
    attributes.vendorId = Read16(hello.data() + 6);
    attributes.productId = Read16(hello.data() + 8);
    attributes.versionNumber = Read16(hello.data() + 10);
    return attributes;
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
    for (const std::string& name : HidrawNodes(sysfsRoot_)) {
        // A node whose descriptor has several top-level collections is
        // listed once per collection ("hidraw:hidraw3#1"), as Windows lists
        // them as interfaces of their own.
        HidDescriptorInfo info;
        size_t collections = 1;
        std::vector<uint8_t> descriptor;
        if (ReadWholeFile(sysfsRoot_ + "/" + name + "/device/report_descriptor", descriptor,
                          HID_MAX_DESCRIPTOR_SIZE) &&
            ParseDescriptor(descriptor.data(), descriptor.size(), info)) {
            collections = info.collections.size();
        }
        for (size_t k = 0; k < collections; ++k) {
            paths.push_back(kHidrawPrefix + name + (k == 0 ? "" : "#" + std::to_string(k)));
        }
    }

    // vhid sockets, by file name.
    for (const std::string& socketPath : VhidSockets()) paths.push_back(kVhidPrefix + socketPath);
    return paths;
}

std::unique_ptr<HidInterface> LinuxHidPlatform::OpenFirst(const InterfaceFilter& wanted) {
    // Each hidraw node is opened once, whatever its collections: the open
    // node's descriptor tells them, so the listing's sysfs read of it is
    // not needed. The vhid directory is looked at only when no node is kept.
    for (const std::string& name : HidrawNodes(sysfsRoot_)) {
        Fd fd;
        HidAttributes attributes;
        HidDescriptorInfo info;
        if (!OpenHidrawNode(sysfsRoot_, devRoot_, name, fd, attributes, info)) continue;
        for (size_t k = 0; k < info.collections.size(); ++k) {
            if (!wanted(attributes, info.collections[k].caps)) continue;
            return std::make_unique<LinuxInterface>(std::move(fd), HidrawWritePath(sysfsRoot_, name), attributes,
                                                    std::move(info), k);
        }
    }
    for (const std::string& socketPath : VhidSockets()) {
        std::unique_ptr<HidInterface> iface = OpenVhid(socketPath);
        if (iface && wanted(iface->Attributes(), iface->Capabilities())) return iface;
    }
    return nullptr;
}

std::unique_ptr<HidInterface> LinuxHidPlatform::OpenInterface(const std::string& path) {
    if (StartsWith(path, kHidrawPrefix)) {
        std::string name;
        size_t collection = 0;
        if (!SplitHidrawName(path.substr(sizeof kHidrawPrefix - 1), name, collection)) return nullptr;
        return OpenHidraw(name, collection);
    }
    if (StartsWith(path, kVhidPrefix)) return OpenVhid(path.substr(sizeof kVhidPrefix - 1));
    return nullptr;
}

HidInterfaceInfo LinuxHidPlatform::DescribeInterface(const std::string& path) {
    HidInterfaceInfo info;
    info.status = HidOpenStatus::Gone;
    if (StartsWith(path, kHidrawPrefix)) {
        std::string name;
        size_t collection = 0;
        if (!SplitHidrawName(path.substr(sizeof kHidrawPrefix - 1), name, collection)) return info;
        info.collection = static_cast<int>(collection);
        const std::string sysDevice = sysfsRoot_ + "/" + name + "/device";
        std::vector<uint8_t> bytes;
        if (!ReadWholeFile(sysDevice + "/uevent", bytes, 64 * 1024)) return info;
        info.idsKnown = ParseHidId(bytes, info.attributes);
        HidDescriptorInfo descriptor;
        if (ReadWholeFile(sysDevice + "/report_descriptor", bytes, HID_MAX_DESCRIPTOR_SIZE) &&
            ParseDescriptor(bytes.data(), bytes.size(), descriptor) && collection < descriptor.collections.size()) {
            const HidCapabilities& caps = descriptor.collections[collection].caps;
            info.lengthsKnown = true;
            info.inputByteLength = caps.Of(HidReportType::Input).byteLength;
            info.outputByteLength = caps.Of(HidReportType::Output).byteLength;
        }
        Fd fd(::open((devRoot_ + "/" + name).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (!fd.Valid()) {
            info.systemError = errno;
            info.status = StatusOfErrno(info.systemError);
            return info;
        }
        fd.Reset();
    } else if (StartsWith(path, kVhidPrefix)) {
        Fd fd;
        std::vector<uint8_t> hello;
        if (!ConnectVhid(path.substr(sizeof kVhidPrefix - 1), fd, hello, info.status, info.systemError)) {
            return info;
        }
        info.idsKnown = true;
        info.attributes = HelloAttributes(hello);
        fd.Reset();  // the server takes the next connection once this one ends
    } else {
        return info;
    }
    // It opens: whether it is usable is what OpenInterface says.
    std::unique_ptr<HidInterface> iface = OpenInterface(path);
    if (iface) {
        const int collection = info.collection;
        DescribeOpened(*iface, info);
        info.collection = collection;
    } else {
        info.status = HidOpenStatus::Failed;
    }
    return info;
}

std::unique_ptr<HidInterface> LinuxHidPlatform::OpenHidraw(const std::string& name, size_t collection) {
    Fd fd;
    HidAttributes attributes;
    HidDescriptorInfo info;
    if (!OpenHidrawNode(sysfsRoot_, devRoot_, name, fd, attributes, info) || collection >= info.collections.size()) {
        return nullptr;
    }
    return std::make_unique<LinuxInterface>(std::move(fd), HidrawWritePath(sysfsRoot_, name), attributes, std::move(info),
                                            collection);
}

std::unique_ptr<HidInterface> LinuxHidPlatform::OpenVhid(const std::string& socketPath) {
    Fd fd;
    std::vector<uint8_t> hello;
    HidOpenStatus status;
    int error = 0;
    if (!ConnectVhid(socketPath, fd, hello, status, error)) return nullptr;
    HidDescriptorInfo info;
    if (!ParseDescriptor(hello.data() + kVhidHelloHeader, hello.size() - kVhidHelloHeader, info)) return nullptr;
    return std::make_unique<LinuxInterface>(std::move(fd), WritePath::Socket, HelloAttributes(hello), std::move(info),
                                            0);
}

}  // namespace azk::linuxhid

namespace azk {
HidPlatform& GetHidPlatform() {
    static linuxhid::LinuxHidPlatform platform;
    return platform;
}
}  // namespace azk
