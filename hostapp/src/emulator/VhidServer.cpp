// VhidServer.cpp - the vhid socket attachment of the device model.
#include "emulator/VhidServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "support/ByteOrder.h"
#include "support/SeqPacket.h"

namespace azk {
namespace {

constexpr size_t kHelloHeader = 14;
constexpr size_t kMaxMessage = 4096;
constexpr int kListenBacklog = 16;

std::string ErrnoText(const std::string& what, int error) { return what + ": " + std::strerror(error); }

bool MakeAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when a server still listens on the socket at `path`: it takes the
// connection, or its listen backlog is full (a server that does not accept;
// a blocking connect would wait for it for good).
bool SocketAnswers(const std::string& path) {
    sockaddr_un address;
    if (!MakeAddress(path, address)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const bool answers =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || errno == EAGAIN;
    ::close(fd);
    return answers;
}

// poll() that resumes after signals; -1 waits without limit.
int PollRetry(pollfd* fds, nfds_t n, int timeoutMs) {
    for (;;) {
        const int rc = ::poll(fds, n, timeoutMs);
        if (rc >= 0 || errno != EINTR) return rc;
    }
}

std::string Hex(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        if (i > 0) text.push_back(' ');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

}  // namespace

bool PrepareVhidDirectory(const std::string& directory, std::string& error) {
    if (directory.empty()) {
        error = "no vhid directory";
        return false;
    }
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        error = ErrnoText("cannot create " + directory, errno);
        return false;
    }
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0) {
        error = ErrnoText("cannot examine " + directory, errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = directory + " is not a directory (a symbolic link is not accepted)";
        return false;
    }
    if (st.st_uid != ::getuid()) {
        error = directory + " belongs to another user";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = directory + " can be written by other users";
        return false;
    }
    return true;
}

std::vector<uint8_t> BuildVhidHello(uint16_t vendorId, uint16_t productId, uint16_t versionNumber,
                                    const std::vector<uint8_t>& descriptor) {
    std::vector<uint8_t> hello(kHelloHeader + descriptor.size());
    std::memcpy(hello.data(), "VHID", 4);
    Write16(&hello[4], 1);
    Write16(&hello[6], vendorId);
    Write16(&hello[8], productId);
    Write16(&hello[10], versionNumber);
    Write16(&hello[12], static_cast<uint16_t>(descriptor.size()));
    std::copy(descriptor.begin(), descriptor.end(), hello.begin() + kHelloHeader);
    return hello;
}

azk_CVhidServer::azk_CVhidServer(azk_CDeviceModel& model, azk_SVhidOptions options)
    : model_(model),
      options_(std::move(options)),
      iface_{model.ReportLength(), options_.numbered},
      hello_(BuildVhidHello(options_.vendorId, options_.productId, options_.versionNumber,
                            BuildReportDescriptor(iface_))),
      path_(options_.directory + "/" + options_.name) {}

azk_CVhidServer::~azk_CVhidServer() { Stop(); }

bool azk_CVhidServer::Start(std::string& error) {
    if (started_) {
        error = "already started";
        return false;
    }
    const size_t suffix = options_.name.size() >= 5 ? options_.name.size() - 5 : 0;
    if (options_.name.size() <= 5 || options_.name.compare(suffix, 5, ".sock") != 0 ||
        options_.name.find('/') != std::string::npos) {
        error = "bad socket name '" + options_.name + "': a file name ending in .sock";
        return false;
    }
    // Bound under a name the client ignores, then renamed into place once
    // listening, so a listed socket is always ready.
    const std::string temporary =
        options_.directory + "/." + options_.name + ".tmp" + std::to_string(::getpid());
    sockaddr_un address;
    sockaddr_un scratch;
    if (!MakeAddress(path_, address) || !MakeAddress(temporary, scratch)) {
        error = "socket path too long: " + path_;
        return false;
    }
    if (SocketAnswers(path_)) {
        error = path_ + " is in use by another server";
        return false;
    }

    listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        error = ErrnoText("socket", errno);
        return false;
    }
    ::unlink(temporary.c_str());
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&scratch), sizeof scratch) != 0) {
        error = ErrnoText("cannot bind " + temporary, errno);
        ::close(listener_);
        listener_ = -1;
        return false;
    }
    if (options_.mode != azk_EVhidMode::Refuse && ::listen(listener_, kListenBacklog) != 0) {
        error = ErrnoText("listen", errno);
        ::unlink(temporary.c_str());
        ::close(listener_);
        listener_ = -1;
        return false;
    }
    if (::rename(temporary.c_str(), path_.c_str()) != 0) {
        error = ErrnoText("cannot create " + path_, errno);
        ::unlink(temporary.c_str());
        ::close(listener_);
        listener_ = -1;
        return false;
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        error = ErrnoText("eventfd", errno);
        ::unlink(path_.c_str());
        ::close(listener_);
        listener_ = -1;
        return false;
    }

    started_ = true;
    model_.SetSink(this);
    if (options_.mode == azk_EVhidMode::Refuse) {
        Log("listening on nothing: connections to " + path_ + " are refused");
        return true;
    }
    Log("listening on " + path_);
    try {
        thread_ = std::thread([this] { Serve(); });
    } catch (const std::system_error& e) {
        error = std::string("cannot start the serving thread: ") + e.what();
        Stop();
        return false;
    }
    return true;
}

void azk_CVhidServer::Stop() {
    if (!started_) return;
    started_ = false;
    stopped_.store(true);
    Wake();
    if (thread_.joinable()) thread_.join();
    // No send is in progress once this returns, and none starts afterwards.
    model_.SetSink(nullptr);
    RemoveSocketFile();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    if (wake_ >= 0) ::close(wake_);
    wake_ = -1;
}

void azk_CVhidServer::Wake() {
    const uint64_t one = 1;
    if (wake_ >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
    }
}

void azk_CVhidServer::RemoveSocketFile() {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    if (!socketRemoved_) {
        ::unlink(path_.c_str());
        socketRemoved_ = true;
    }
}

void azk_CVhidServer::Log(const std::string& line) const {
    if (options_.log) options_.log(line);
}

void azk_CVhidServer::Serve() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (PollRetry(fds, 2, -1) < 0) break;
        if (fds[1].revents != 0) break;  // stop or unplug
        if ((fds[0].revents & POLLIN) == 0) break;
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
            Log(ErrnoText("accept failed", errno));
            break;
        }
        connections_.fetch_add(1);
        if (options_.mode == azk_EVhidMode::Held) {
            Log("refused a connection: held by another program");
            ::close(connection);
            continue;
        }
        ServeConnection(connection);
        {
            std::lock_guard<std::mutex> lock(connectionMutex_);
            if (unplugged_) break;
        }
    }
    // Serving has ended (stop or unplug): nothing reaches the socket any more.
    RemoveSocketFile();
}

void azk_CVhidServer::ServeConnection(int connection) {
    {
        std::lock_guard<std::mutex> lock(connectionMutex_);
        if (unplugged_) {
            ::close(connection);
            return;
        }
        connection_ = connection;
    }
    Log("connected");
    bool open = ::send(connection, hello_.data(), hello_.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(hello_.size());
    if (open && options_.onConnected) options_.onConnected();

    const size_t outputLength = iface_.ReportByteLength();
    const uint8_t outputId = iface_.OutputReportId();
    std::vector<uint8_t> message(kMaxMessage + 1);
    while (open) {
        pollfd fds[2] = {{connection, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (inputPaused_.load()) {
            // Not reading: only a stop or unplug is seen, and every 20 ms
            // whether reading goes on.
            if (PollRetry(&fds[1], 1, 20) < 0 || fds[1].revents != 0) break;
            continue;
        }
        if (PollRetry(fds, 2, -1) < 0 || fds[1].revents != 0) break;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t n = ::recv(connection, message.data(), message.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            break;  // ECONNRESET and the like: the host is gone
        }
        if (n == 0) {
            if (SeqPacketPeerGone(connection)) break;  // the host closed the connection
            Log("ignored an empty output report");
            continue;
        }
        const size_t length = static_cast<size_t>(n);
        if (length > kMaxMessage) continue;  // oversized: dropped
        if (length != outputLength || message[0] != outputId) {
            Log("ignored an output report of " + std::to_string(length) + " bytes: " +
                Hex(message.data(), std::min<size_t>(length, 16)) + (length > 16 ? " ..." : ""));
            continue;
        }
        model_.OnOutputReport(message.data() + 1, length - 1);
        if (options_.afterOutputReport) options_.afterOutputReport();
    }

    bool unplugged;
    {
        std::lock_guard<std::mutex> lock(connectionMutex_);
        connection_ = -1;
        unplugged = unplugged_;
    }
    ::close(connection);
    Log(unplugged ? "unplugged: connection closed" : "disconnected");
}

void azk_CVhidServer::SendReport(const uint8_t* report, size_t length) {
    uint8_t message[kMaxMessage];
    size_t size = 0;
    if (iface_.numbered) message[size++] = iface_.InputReportId();
    if (length > sizeof message - size) return;
    std::memcpy(message + size, report, length);
    size += length;

    std::lock_guard<std::mutex> lock(connectionMutex_);
    if (connection_ < 0 || unplugged_) return;  // nobody connected: the report is lost
    for (const azk_SVhidJunk& junk : options_.junk) {
        uint8_t stray[kMaxMessage] = {};
        size_t strayLength = 0;
        switch (junk.kind) {
        case azk_SVhidJunk::Kind::Empty: break;
        case azk_SVhidJunk::Kind::Length: strayLength = std::min(junk.length, kMaxMessage); break;
        case azk_SVhidJunk::Kind::ForeignId: strayLength = size; break;
        }
        // The ID (or first) byte and the marker, zeros after them.
        std::memcpy(stray, message, std::min<size_t>({strayLength, size, iface_.numbered ? 2u : 1u}));
        if (junk.kind == azk_SVhidJunk::Kind::ForeignId) stray[0] = junk.reportId;
        SendMessage(stray, strayLength);
    }
    SendMessage(message, size);
}

void azk_CVhidServer::SendMessage(const uint8_t* message, size_t size) {
    ssize_t n;
    do {
        n = ::send(connection_, message, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    // EAGAIN: the host does not read; EPIPE: it has gone. The message is lost.
}

void azk_CVhidServer::Unplug() {
    {
        std::lock_guard<std::mutex> lock(connectionMutex_);
        if (unplugged_) return;
        unplugged_ = true;
        stopped_.store(true);
        // The socket goes first, so the host cannot find the device again
        // once its connection has ended.
        if (!socketRemoved_) {
            ::unlink(path_.c_str());
            socketRemoved_ = true;
        }
        if (connection_ >= 0) ::shutdown(connection_, SHUT_RDWR);
    }
    Wake();
}

}  // namespace azk
