// VhidServer.h - publishes one device model as a vhid device: a listening
// SOCK_SEQPACKET Unix socket in the vhid directory that hands out the hello
// message and then carries one HID report per message, the server side of
// the vhid protocol that the Linux HID layer speaks as a client.
//
// One connection is served at a time; later ones wait in the listen backlog.
// Host to device: an output report as written to hidraw (report ID byte
// first, 0 when unnumbered); one whose length is not the output report byte
// length, or whose ID is not the output report ID, is ignored. Device to
// host: the model's input reports, with the input report ID in front only
// when the device numbers its reports. An input report the host does not
// take (its queue is full) is dropped, as a HID device's report is when
// nobody reads it.
//
// The socket file appears only once it is listening (it is bound under a
// temporary name and renamed into place), and is removed when the server
// stops or the model unplugs itself. An unplug also ends the connection.
//
// Threads: one serving thread per server. It feeds the model; the model's
// input reports may come from any thread (its timer, on-demand sends).
#ifndef AZK_EMULATOR_VHID_SERVER_H
#define AZK_EMULATOR_VHID_SERVER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/DeviceDescriptor.h"
#include "emulator/DeviceModel.h"

namespace azk {

enum class azk_EVhidMode {
    Serve,   // a normal device
    Held,    // held by another program: every connection is closed at once,
             // without a hello
    Refuse   // a socket file nobody listens on (a server that died):
             // connections are refused
};

// A message the server sends on purpose before every input report, to try
// a client's input handling. None of them is an input report of the device,
// and a client must drop each: an empty message, the report's message cut
// or zero-extended to another length, or (numbered devices) the report with
// another report ID. Each carries the report's ID (or first) byte and marker,
// and zeros after them, so one taken for a report is a wrong answer.
struct azk_SVhidJunk {
    enum class Kind { Empty, Length, ForeignId };
    Kind kind = Kind::Empty;
    size_t length = 0;     // Length: bytes in the message (at most 4096)
    uint8_t reportId = 0;  // ForeignId: the ID in byte 0
};

struct azk_SVhidOptions {
    std::string directory;       // must exist; see PrepareVhidDirectory
    std::string name = "dev.sock";  // file name of the socket, ends in ".sock"
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t versionNumber = 0x0100;
    bool numbered = true;
    azk_EVhidMode mode = azk_EVhidMode::Serve;
    std::vector<azk_SVhidJunk> junk;  // sent in this order before every input report

    // Connection events for a trace ("connected", "disconnected", ...), on
    // the serving thread. Must not call back into the server.
    std::function<void(const std::string&)> log;
    // Called on the serving thread, no lock held, right after the hello of
    // each connection and after each host report has been handed to the
    // model. It may use the model (send events, look at counts).
    std::function<void()> onConnected;
    std::function<void()> afterOutputReport;
};

// Creates the vhid directory with mode 0700 when it is missing, and checks
// that it is one the client trusts: a real directory (no symbolic link) of
// this user with no group or other write bit. Returns false with a message
// in `error` otherwise.
bool PrepareVhidDirectory(const std::string& directory, std::string& error);

// The hello message of a device: "VHID", version 1, IDs, descriptor.
std::vector<uint8_t> BuildVhidHello(uint16_t vendorId, uint16_t productId, uint16_t versionNumber,
                                    const std::vector<uint8_t>& descriptor);

class azk_CVhidServer final : private azk_CReportSink {
public:
    // The model must outlive the server.
    azk_CVhidServer(azk_CDeviceModel& model, azk_SVhidOptions options);
    ~azk_CVhidServer() override;

    azk_CVhidServer(const azk_CVhidServer&) = delete;
    azk_CVhidServer& operator=(const azk_CVhidServer&) = delete;

    // Binds and listens, and starts serving. Returns false with a message in
    // `error` when the socket cannot be had (an existing socket file that
    // still answers is never replaced).
    bool Start(std::string& error);

    // Ends the connection, stops serving, removes the socket file and
    // detaches the model. Harmless when not started or already stopped.
    void Stop();

    const std::string& SocketPath() const { return path_; }
    // Connections accepted so far (held ones included).
    uint64_t ConnectionCount() const { return connections_.load(); }
    // True once the model unplugged itself (or Stop ran).
    bool Stopped() const { return stopped_.load(); }

    // While paused the server takes no host reports: they stay in the
    // socket, whose buffer fills until the host's writes cannot complete,
    // as a device that stops taking reports. Any thread.
    void PauseInput(bool paused) { inputPaused_.store(paused); }

private:
    // azk_CReportSink, called by the model under its traffic lock.
    void SendReport(const uint8_t* report, size_t length) override;
    void Unplug() override;

    void Serve();
    void ServeConnection(int connection);
    // One message on the connection; connectionMutex_ held, connection_ open.
    void SendMessage(const uint8_t* message, size_t size);
    void Log(const std::string& line) const;
    void RemoveSocketFile();
    void Wake();

    azk_CDeviceModel& model_;
    const azk_SVhidOptions options_;
    const azk_SEmulatedInterface iface_;
    const std::vector<uint8_t> hello_;
    std::string path_;

    int listener_ = -1;
    int wake_ = -1;  // eventfd: stop or unplug
    std::thread thread_;
    bool started_ = false;

    // The connection being served, shared with SendReport and Unplug.
    std::mutex connectionMutex_;
    int connection_ = -1;
    bool unplugged_ = false;
    bool socketRemoved_ = false;

    std::atomic<uint64_t> connections_{0};
    std::atomic<bool> stopped_{false};
    std::atomic<bool> inputPaused_{false};
};

}  // namespace azk

#endif
