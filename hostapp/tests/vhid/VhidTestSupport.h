// VhidTestSupport.h - private directories, the vhid directory of a test and
// fake vhid servers written directly with sockets.
#ifndef AZK_TESTS_VHID_TEST_SUPPORT_H
#define AZK_TESTS_VHID_TEST_SUPPORT_H

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace azk::test {

using Bytes = std::vector<uint8_t>;

// A directory of its own under the temporary directory, removed with its
// contents at the end.
class azk_CTempDir {
public:
    azk_CTempDir() {
        std::string pattern = std::filesystem::temp_directory_path().string() + "/azk-vhid-test-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
    }
    ~azk_CTempDir() {
        if (path_.empty()) return;
        std::error_code ignored;
        // Other tests may have made a subdirectory read-only or another user's.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    azk_CTempDir(const azk_CTempDir&) = delete;
    azk_CTempDir& operator=(const azk_CTempDir&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Sets an environment variable for the life of the object.
class azk_CScopedEnv {
public:
    azk_CScopedEnv(const char* name, const std::string& value) : name_(name) {
        const char* old = std::getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~azk_CScopedEnv() {
        if (hadOld_) {
            ::setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    azk_CScopedEnv(const azk_CScopedEnv&) = delete;
    azk_CScopedEnv& operator=(const azk_CScopedEnv&) = delete;

private:
    std::string name_;
    std::string old_;
    bool hadOld_ = false;
};

inline bool MakeAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A connected client socket to `path`, or -1.
inline int ConnectTo(const std::string& path, bool nonBlocking = false) {
    sockaddr_un address;
    if (!MakeAddress(path, address)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One message, waiting at most timeoutMs. Returns false on time-out; an
// end of file gives true with `eof` set.
inline bool ReceiveMessage(int fd, Bytes& message, bool& eof, int timeoutMs) {
    pollfd pfd = {fd, POLLIN, 0};
    eof = false;
    if (::poll(&pfd, 1, timeoutMs) <= 0) return false;
    message.assign(8192, 0);
    const ssize_t n = ::recv(fd, message.data(), message.size(), MSG_DONTWAIT);
    if (n <= 0) {
        message.clear();
        eof = true;
        return true;
    }
    message.resize(static_cast<size_t>(n));
    return true;
}

// A vhid server written directly with sockets: listens on `path` and runs
// `handler` on each accepted connection in turn (on its own thread).
// The handler gets the connection and a descriptor that becomes readable
// when the server stops, to wait on instead of sleeping.
class azk_CFakeServer {
public:
    using Handler = std::function<void(int connection, int stopFd)>;

    azk_CFakeServer(const std::string& path, Handler handler, int backlog = 8, bool acceptConnections = true)
        : path_(path), handler_(std::move(handler)) {
        stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address;
        ok_ = stop_ >= 0 && listener_ >= 0 && MakeAddress(path, address) &&
              ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(listener_, backlog) == 0;
        if (ok_ && acceptConnections) thread_ = std::thread([this] { Serve(); });
    }
    ~azk_CFakeServer() { Stop(); }
    azk_CFakeServer(const azk_CFakeServer&) = delete;
    azk_CFakeServer& operator=(const azk_CFakeServer&) = delete;

    bool Ok() const { return ok_; }

    void Stop() {
        if (stop_ >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
        }
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) {
            ::close(listener_);
            ::unlink(path_.c_str());
        }
        listener_ = -1;
        if (stop_ >= 0) ::close(stop_);
        stop_ = -1;
    }

private:
    void Serve() {
        for (;;) {
            pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if (fds[1].revents != 0) return;
            if ((fds[0].revents & POLLIN) == 0) continue;
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            handler_(connection, stop_);
            ::close(connection);
        }
    }

    std::string path_;
    Handler handler_;
    int listener_ = -1;
    int stop_ = -1;
    bool ok_ = false;
    std::thread thread_;
};

// Waits until `fd` is readable or timeoutMs passed.
inline void WaitReadable(int fd, int timeoutMs) {
    pollfd pfd = {fd, POLLIN, 0};
    ::poll(&pfd, 1, timeoutMs);
}

}  // namespace azk::test

#endif
