// UhidAttachment.cpp - the /dev/uhid attachment of the device model.
#include "emulator/UhidAttachment.h"

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <system_error>
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

}  // namespace

azk_CUhidAttachment::azk_CUhidAttachment(azk_CDeviceModel& model, azk_SUhidOptions options)
    : model_(model), options_(std::move(options)), iface_{model.ReportLength(), options_.numbered} {}

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
    std::memcpy(create->u.create2.phys, "azk-emulator", 12);
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
    auto event = NewEvent(0);
    const size_t outputLength = iface_.ReportByteLength();
    const uint8_t outputId = iface_.OutputReportId();
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
        const int rc = ::poll(fds, 2, -1);
        if (rc < 0 && errno == EINTR) continue;
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
            if (options_.onConnected) options_.onConnected();
            break;
        case UHID_CLOSE:
            Log("disconnected");
            break;
        case UHID_OUTPUT: {
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
