// EmulatorTool.cpp - publishing the described devices, running a command
// against them or serving until stopped.
#include "emulator/EmulatorTool.h"

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "transport/platform/linux/LinuxPlatform.h"

extern char** environ;

namespace azk {
namespace {

constexpr const char kProgram[] = "DeviceEmulator";

// How long a uhid device may take to get its hidraw node; generous for an
// emulated machine.
constexpr int kHidrawWaitMs = 10000;

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

void Complain(const std::string& message) { WriteAll(STDERR_FILENO, std::string(kProgram) + ": " + message + "\n"); }

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) text.push_back(' ');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

const char* TraceKindName(azk_ETraceKind kind) {
    switch (kind) {
    case azk_ETraceKind::Request: return "request";
    case azk_ETraceKind::Response: return "response";
    case azk_ETraceKind::Event: return "event";
    case azk_ETraceKind::Text: return "text";
    case azk_ETraceKind::RawReport: return "report";
    case azk_ETraceKind::Unplug: return "unplug";
    }
    return "?";
}

// The published devices, stopped in reverse order when this goes.
class azk_CDeviceSet {
public:
    azk_CDeviceSet(const azk_SEmulatorConfig& config, azk_CTraceWriter& trace) : config_(config), trace_(trace) {}
    ~azk_CDeviceSet() { Stop(); }

    bool Publish(const std::string& directory, std::string& error) {
        const std::vector<std::string> names = DeviceSocketNames(config_);
        size_t position = 0;
        for (const azk_SDeviceDescription& description : config_.devices) {
            for (uint32_t copy = 0; copy < description.copies; ++copy, ++position) {
                const std::string& name = names[position];
                const std::string label = name.substr(0, name.size() - 5);  // without ".sock"
                auto device = std::make_unique<azk_CEmulatedDevice>(description, label, trace_);
                const bool ok = config_.uhid ? device->PublishUhid(error) : device->PublishVhid(directory, name, error);
                if (!ok) return false;
                devices_.push_back(std::move(device));
            }
        }
        return true;
    }

    void Stop() {
        while (!devices_.empty()) devices_.pop_back();
    }

    std::vector<std::string> Locations() const {
        std::vector<std::string> where;
        for (const auto& device : devices_) where.push_back(device->Location());
        return where;
    }

private:
    const azk_SEmulatorConfig& config_;
    azk_CTraceWriter& trace_;
    std::vector<std::unique_ptr<azk_CEmulatedDevice>> devices_;
};

// A private directory for one run, removed with everything in it.
class azk_CPrivateDirectory {
public:
    bool Create(std::string& error) {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        std::string pattern = base + "/azk-emu-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data()) == nullptr) {
            error = "cannot create a directory in " + base + ": " + std::strerror(errno);
            return false;
        }
        path_ = buffer.data();
        return true;
    }
    ~azk_CPrivateDirectory() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// The environment of the command: ours, with XDG_RUNTIME_DIR replaced.
std::vector<std::string> CommandEnvironment(const std::string& runtimeDir) {
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0) env.emplace_back(*e);
    }
    env.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Runs the command and waits for it, passing on SIGINT, SIGTERM and SIGHUP.
// The signals are blocked in every thread; this thread takes them here.
int RunCommand(const azk_SEmulatorConfig& config, const std::string& runtimeDir, const sigset_t& waitSet) {
    std::vector<std::string> args = config.command;
    std::vector<std::string> env = CommandEnvironment(runtimeDir);
    std::vector<char*> argv = Pointers(args);
    std::vector<char*> envp = Pointers(env);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        Complain("cannot run '" + config.command[0] + "': " + std::strerror(rc));
        return rc == ENOENT ? kEmulatorExitNotFound : kEmulatorExitCannotRun;
    }

    for (;;) {
        int sig = 0;
        if (::sigwait(&waitSet, &sig) != 0) continue;
        if (sig != SIGCHLD) {
            ::kill(pid, sig);
            continue;
        }
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done != pid) continue;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return kEmulatorExitCannotRun;
    }
}

}  // namespace

void azk_CTraceWriter::Line(const std::string& label, const std::string& text) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    WriteAll(STDERR_FILENO, "[" + label + "] " + text + "\n");
}

azk_CEmulatedDevice::azk_CEmulatedDevice(const azk_SDeviceDescription& description, std::string label,
                                         azk_CTraceWriter& trace)
    : description_(description),
      label_(std::move(label)),
      trace_(trace),
      model_(description.ReportLength()),
      firmware_(model_),
      sent_(description.traffic.size()) {
    model_.SetKeyLockConfig(0, description_.inForce);
    model_.SetKeyLockConfig(1, description_.byDefault);
    if (description_.always) model_.MisbehaveAlways(*description_.always);
    for (const azk_SMisbehaviour& m : description_.once) model_.MisbehaveOnce(m);
    if (description_.unplugAfter > 0) model_.UnplugAfterRequests(description_.unplugAfter);
    for (const azk_SFirmwareFault& fault : description_.firmwareFaults) {
        switch (fault.kind) {
        case azk_SFirmwareFault::Kind::Status:
            firmware_.FailStep(fault.function, fault.times, fault.status);
            break;
        case azk_SFirmwareFault::Kind::BadHeader:
            firmware_.BadHeaderStep(fault.function, fault.times);
            break;
        case azk_SFirmwareFault::Kind::Silent:
            firmware_.SilenceStep(fault.function, fault.times);
            break;
        }
    }
    if (trace_.Enabled()) {
        firmware_.SetOutcomeCallback([this](const azk_CFirmwareReceiver::State& state) {
            trace_.Line(label_, state.verified ? "firmware update verified (kind code " +
                                                     std::to_string(state.kindCode) + ", " +
                                                     std::to_string(state.size) + " bytes)"
                                               : "firmware image rejected: " + state.rejection);
        });
    }
    model_.SetTraceLimit(0);  // nothing kept: the trace goes out as it happens
    if (trace_.Enabled()) {
        model_.SetTraceCallback([this](const azk_STraceEntry& entry) {
            std::string text = TraceKindName(entry.kind);
            if (!entry.bytes.empty()) text += " " + Hex(entry.bytes);
            trace_.Line(label_, text);
        });
    }
}

azk_CEmulatedDevice::~azk_CEmulatedDevice() { Stop(); }

bool azk_CEmulatedDevice::PublishVhid(const std::string& directory, const std::string& socketName,
                                      std::string& error) {
    azk_SVhidOptions options;
    options.directory = directory;
    options.name = socketName;
    options.vendorId = description_.VendorId();
    options.productId = description_.ProductId();
    options.versionNumber = description_.versionNumber;
    options.numbered = description_.numbered;
    options.mode = description_.mode;
    options.junk = description_.vhidJunk;
    if (trace_.Enabled()) options.log = [this](const std::string& line) { trace_.Line(label_, line); };
    options.onConnected = [this] { OnConnected(); };
    options.afterOutputReport = [this] { AfterOutputReport(); };
    vhid_ = std::make_unique<azk_CVhidServer>(model_, std::move(options));
    if (!vhid_->Start(error)) {
        vhid_.reset();
        return false;
    }
    return true;
}

bool azk_CEmulatedDevice::PublishUhid(std::string& error) {
    azk_SUhidOptions options;
    options.name = "KeyConfig device emulator " + label_;
    options.vendorId = description_.VendorId();
    options.productId = description_.ProductId();
    options.versionNumber = description_.versionNumber;
    options.numbered = description_.numbered;
    if (trace_.Enabled()) options.log = [this](const std::string& line) { trace_.Line(label_, line); };
    options.onConnected = [this] { OnConnected(); };
    options.afterOutputReport = [this] { AfterOutputReport(); };
    uhid_ = std::make_unique<azk_CUhidAttachment>(model_, std::move(options));
    // Published means a host can find it: the hidraw node exists. Waiting
    // for each device in turn also numbers the nodes in the order given.
    if (!uhid_->Start(error) || !uhid_->WaitForHidraw(kHidrawWaitMs, uhidNode_, error)) {
        uhid_.reset();
        return false;
    }
    if (trace_.Enabled()) trace_.Line(label_, "hidraw node " + uhidNode_);
    return true;
}

void azk_CEmulatedDevice::Stop() {
    vhid_.reset();
    uhid_.reset();
}

std::string azk_CEmulatedDevice::Location() const {
    if (vhid_) return vhid_->SocketPath();
    return uhidNode_;
}

void azk_CEmulatedDevice::OnConnected() {
    for (const azk_SEmulatedTraffic& traffic : description_.traffic) {
        if (traffic.afterRequests == 0) Send(traffic);
    }
}

void azk_CEmulatedDevice::AfterOutputReport() {
    const uint64_t requests = model_.RequestCount();
    for (size_t i = 0; i < description_.traffic.size(); ++i) {
        const azk_SEmulatedTraffic& traffic = description_.traffic[i];
        if (traffic.afterRequests == 0 || sent_[i] || requests < traffic.afterRequests) continue;
        sent_[i] = true;
        Send(traffic);
    }
}

void azk_CEmulatedDevice::Send(const azk_SEmulatedTraffic& traffic) {
    if (traffic.isText) {
        model_.SendText(traffic.channel, traffic.text);
    } else if (traffic.type == 3) {
        model_.SendEvent(traffic.type, static_cast<uint8_t>(traffic.value >> 8), static_cast<uint8_t>(traffic.value));
    } else {
        model_.SendEvent(traffic.type, static_cast<uint8_t>(traffic.value));
    }
}

int RunDeviceEmulator(const std::vector<std::string>& args) {
    azk_SEmulatorConfig config;
    std::string error;
    if (!ParseEmulatorArguments(args, config, error)) {
        Complain(error);
        WriteAll(STDERR_FILENO, std::string("Try '") + kProgram + " --help'.\n");
        return kEmulatorExitUsage;
    }
    if (config.help) {
        WriteAll(STDOUT_FILENO, EmulatorUsage());
        return 0;
    }
    const int failure = config.serve ? 1 : kEmulatorExitFailure;

    // Signals are taken by sigwait in this thread only: blocked before any
    // thread starts, so every thread inherits the mask.
    sigset_t waitSet;
    sigemptyset(&waitSet);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&waitSet, sig);
    ::pthread_sigmask(SIG_BLOCK, &waitSet, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    azk_CTraceWriter trace(config.trace);
    if (config.serve) {
        const std::string directory = config.directory.empty() ? linuxhid::VhidDirectory() : config.directory;
        if (!config.uhid && !PrepareVhidDirectory(directory, error)) {
            Complain(error);
            return failure;
        }
        azk_CDeviceSet devices(config, trace);
        if (!devices.Publish(directory, error)) {
            Complain(error);
            return failure;
        }
        std::string ready;
        for (const std::string& where : devices.Locations()) ready += where + "\n";
        WriteAll(STDOUT_FILENO, ready);
        sigset_t stopSet;
        sigemptyset(&stopSet);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSet, sig);
        int sig = 0;
        while (::sigwait(&stopSet, &sig) != 0) {
        }
        devices.Stop();
        return 0;
    }

    azk_CPrivateDirectory runtimeDir;
    if (!runtimeDir.Create(error)) {
        Complain(error);
        return failure;
    }
    const std::string directory = runtimeDir.Path() + "/azk-vhid";
    if (!PrepareVhidDirectory(directory, error)) {
        Complain(error);
        return failure;
    }
    azk_CDeviceSet devices(config, trace);
    if (!devices.Publish(directory, error)) {
        Complain(error);
        return failure;
    }
    const int status = RunCommand(config, runtimeDir.Path(), waitSet);
    devices.Stop();
    return status;
}

}  // namespace azk
