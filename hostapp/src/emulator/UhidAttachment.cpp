// UhidAttachment.cpp - the /dev/uhid attachment of the device model.
#include "emulator/UhidAttachment.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace azk {
namespace {

constexpr uint16_t kBusUsb = 0x03;

// Bytes of an event up to and including the given member of its union.
constexpr size_t kEventHeader = offsetof(uhid_event, u);

std::unique_ptr<uhid_event> NewEvent(uint32_t type) {
    std::unique_ptr<uhid_event> event(new uhid_event);
    std::memset(event.get(), 0, sizeof *event);
    event->type = type;
    return event;
}

// A physical path no other device of this process has.
std::string NewPhys() {
    static std::atomic<unsigned> counter{0};
    return "azk-emulator/" + std::to_string(::getpid()) + "/" + std::to_string(counter.fetch_add(1));
}

// Whether a sysfs uevent file has exactly this line. The file is read up
// to a bound; a longer one is not a HID device's.
bool UeventHasLine(const std::string& path, const std::string& wanted) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[4096];
    size_t used = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer + used, sizeof buffer - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<size_t>(n);
        if (used == sizeof buffer) break;
    }
    ::close(fd);
    size_t start = 0;
    while (start < used) {
        const char* end = static_cast<const char*>(std::memchr(buffer + start, '\n', used - start));
        const size_t length = end != nullptr ? static_cast<size_t>(end - (buffer + start)) : used - start;
        if (length == wanted.size() && std::memcmp(buffer + start, wanted.data(), length) == 0) return true;
        start += length + 1;
    }
    return false;
}

}  // namespace

azk_CUhidAttachment::azk_CUhidAttachment(azk_CDeviceModel& model, azk_SUhidOptions options)
    : model_(model),
      options_(std::move(options)),
      iface_{model.ReportLength(), options_.numbered},
      phys_(NewPhys()) {}

azk_CUhidAttachment::~azk_CUhidAttachment() { Stop(); }

bool azk_CUhidAttachment::Start(std::string& error) {
    const int fd = ::open(options_.path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        error = "cannot open " + options_.path + ": " + std::strerror(e);
        if (e == ENOENT) error += " (the kernel's uhid module is needed: modprobe uhid)";
        if (e == EACCES || e == EPERM) error += " (write access to it is needed)";
        return false;
    }
    return StartOn(fd, error);
}

bool azk_CUhidAttachment::StartOn(int fd, std::string& error) {
    if (started_) {
        ::close(fd);
        error = "already started";
        return false;
    }
    const std::vector<uint8_t> descriptor = BuildReportDescriptor(iface_);
    auto create = NewEvent(UHID_CREATE2);
    const size_t nameLength = std::min(options_.name.size(), sizeof create->u.create2.name - 1);
    std::memcpy(create->u.create2.name, options_.name.data(), nameLength);
    std::memcpy(create->u.create2.phys, phys_.data(),
                std::min(phys_.size(), sizeof create->u.create2.phys - 1));
    create->u.create2.rd_size = static_cast<uint16_t>(descriptor.size());
    create->u.create2.bus = kBusUsb;
    create->u.create2.vendor = options_.vendorId;
    create->u.create2.product = options_.productId;
    create->u.create2.version = options_.versionNumber;
    create->u.create2.country = 0;
    if (descriptor.size() > sizeof create->u.create2.rd_data) {
        ::close(fd);
        error = "report descriptor too long for uhid";
        return false;
    }
    std::memcpy(create->u.create2.rd_data, descriptor.data(), descriptor.size());

    fd_ = fd;
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    if (!WriteEvent(create.get(), sizeof *create)) {
        error = "cannot create the uhid device on " + options_.path + ": " + std::strerror(errno);
        ::close(fd_);
        ::close(wake_);
        fd_ = wake_ = -1;
        return false;
    }
    started_ = true;
    model_.SetSink(this);
    Log("created uhid device " + options_.name);
    try {
        thread_ = std::thread([this] { ReadLoop(); });
    } catch (const std::system_error& e) {
        error = std::string("cannot start the uhid thread: ") + e.what();
        Stop();
        return false;
    }
    return true;
}

bool azk_CUhidAttachment::WaitForHidraw(int timeoutMs, std::string& node, std::string& error) const {
    if (!started_) {
        error = "the uhid device was not created";
        return false;
    }
    const std::string wanted = "HID_PHYS=" + phys_;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (stopped_.load()) {
            error = "the uhid device is gone";
            return false;
        }
        if (DIR* dir = ::opendir(options_.sysfsRoot.c_str())) {
            std::string found;
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name.rfind("hidraw", 0) != 0) continue;
                if (!UeventHasLine(options_.sysfsRoot + "/" + name + "/device/uevent", wanted)) continue;
                // The class device comes before its node in /dev.
                if (::access((options_.devRoot + "/" + name).c_str(), F_OK) == 0) found = options_.devRoot + "/" + name;
                break;
            }
            ::closedir(dir);
            if (!found.empty()) {
                node = found;
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= end) {
            error = "no hidraw node appeared for the uhid device within " + std::to_string(timeoutMs) +
                    " ms (hidraw and the hid-generic driver are needed)";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void azk_CUhidAttachment::Stop() {
    if (!started_) return;
    started_ = false;
    stopped_.store(true);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    model_.SetSink(nullptr);
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        if (!destroyed_) {
            destroyed_ = true;
            auto destroy = NewEvent(UHID_DESTROY);
            [[maybe_unused]] const ssize_t w = ::write(fd_, destroy.get(), kEventHeader);
        }
    }
    ::close(fd_);
    ::close(wake_);
    fd_ = wake_ = -1;
}

bool azk_CUhidAttachment::WriteEvent(const void* event, size_t size) {
    for (;;) {
        const ssize_t n = ::write(fd_, event, size);
        if (n >= 0) return static_cast<size_t>(n) == size;
        if (errno != EINTR) return false;
    }
}

void azk_CUhidAttachment::Log(const std::string& line) const {
    if (options_.log) options_.log(line);
}

void azk_CUhidAttachment::ReadLoop() {
    // uhid keeps at most 32 events queued for the device and drops the rest
    // with only a kernel warning ("Output queue is full"). A real USB device
    // holds a writing host back; here nothing does, and a host writing a long
    // message (hundreds of reports) outruns a reader of ordinary priority on
    // a busy or single processor. Real-time priority lets this thread take
    // each event as soon as it is queued; without the privilege for it, the
    // thread runs as it is.
    sched_param param{};
    param.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
    const int refused = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
    if (refused != 0) {
        Log(std::string("ordinary priority (") + std::strerror(refused) + "): long messages may lose reports");
    }

    auto event = NewEvent(0);
    const size_t outputLength = iface_.ReportByteLength();
    const uint8_t outputId = iface_.OutputReportId();
    // An open whose connect hook has not run yet: it runs once nothing more
    // is queued, or before the next output report, unless a close comes first.
    bool openPending = false;
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
        const int rc = ::poll(fds, 2, openPending ? 0 : -1);
        if (rc < 0 && errno == EINTR) continue;
        if (rc == 0) {
            openPending = false;
            Connected();
            continue;
        }
        if (rc < 0 || fds[1].revents != 0) break;
        if ((fds[0].revents & POLLIN) == 0) break;  // the descriptor failed
        std::memset(event.get(), 0, sizeof *event);
        const ssize_t n = ::read(fd_, event.get(), sizeof *event);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        const size_t size = static_cast<size_t>(n);
        if (size < kEventHeader + sizeof(uint32_t)) continue;  // not even a type

        switch (event->type) {
        case UHID_START:
            Log("started");
            break;
        case UHID_STOP:
            Log("stopped");
            break;
        case UHID_OPEN:
            Log("connected");
            openPending = true;
            break;
        case UHID_CLOSE:
            Log("disconnected");
            openPending = false;
            break;
        case UHID_OUTPUT: {
            if (openPending) {
                openPending = false;
                Connected();
            }
            if (size < kEventHeader + sizeof(uhid_output_req)) break;
            const size_t length = std::min<size_t>(event->u.output.size, UHID_DATA_MAX);
            const uint8_t* data = event->u.output.data;
            if (event->u.output.rtype != UHID_OUTPUT_REPORT || length != outputLength || data[0] != outputId) {
                Log("ignored an output report of " + std::to_string(length) + " bytes");
                break;
            }
            // Numbered or not, the first byte is the report ID (0 for an
            // unnumbered device, which uhid passes on as written).
            model_.OnOutputReport(data + 1, length - 1);
            if (options_.afterOutputReport) options_.afterOutputReport();
            break;
        }
        case UHID_GET_REPORT: {
            if (size < kEventHeader + sizeof(uhid_get_report_req)) break;
            auto reply = NewEvent(UHID_GET_REPORT_REPLY);
            reply->u.get_report_reply.id = event->u.get_report.id;
            reply->u.get_report_reply.err = EIO;
            std::lock_guard<std::mutex> lock(writeMutex_);
            if (!destroyed_) WriteEvent(reply.get(), sizeof *reply);
            break;
        }
        case UHID_SET_REPORT: {
            if (size < kEventHeader + offsetof(uhid_set_report_req, data)) break;
            auto reply = NewEvent(UHID_SET_REPORT_REPLY);
            reply->u.set_report_reply.id = event->u.set_report.id;
            reply->u.set_report_reply.err = EIO;
            std::lock_guard<std::mutex> lock(writeMutex_);
            if (!destroyed_) WriteEvent(reply.get(), sizeof *reply);
            break;
        }
        default:
            break;
        }
    }
}

void azk_CUhidAttachment::Connected() {
    if (options_.onConnected) options_.onConnected();
}

void azk_CUhidAttachment::SendReport(const uint8_t* report, size_t length) {
    auto input = NewEvent(UHID_INPUT2);
    size_t size = 0;
    if (iface_.numbered) input->u.input2.data[size++] = iface_.InputReportId();
    if (length > UHID_DATA_MAX - size) return;
    std::memcpy(input->u.input2.data + size, report, length);
    size += length;
    input->u.input2.size = static_cast<uint16_t>(size);
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (destroyed_ || fd_ < 0) return;
    WriteEvent(input.get(), kEventHeader + offsetof(uhid_input2_req, data) + size);
}

void azk_CUhidAttachment::Unplug() {
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        if (destroyed_) return;
        destroyed_ = true;
        stopped_.store(true);
        auto destroy = NewEvent(UHID_DESTROY);
        WriteEvent(destroy.get(), kEventHeader);
    }
    Log("unplugged: device destroyed");
}

}  // namespace azk
