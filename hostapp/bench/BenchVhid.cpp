// Over vhid, process to process: the key-lock round trip through the whole
// stack against DeviceEmulator --serve in a private runtime directory, alone
// and interleaved with a bare client on the same socket, the receiver's
// wake-up latency (a report arriving, and a wake call), and the KeyConfig
// tool as a whole process from start to exit.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Interleaved.h"
#include "emulator/DeviceModel.h"
#include "emulator/VhidServer.h"
#include "session/SessionApi.h"
#include "transport/platform/linux/LinuxPlatform.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

pid_t Spawn(std::vector<std::string> args, bool quiet, int stdoutFd = -1) {
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    } else if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// DeviceEmulator --serve in a private XDG_RUNTIME_DIR, which this process
// then uses too; stopped and removed at exit.
class ServingEmulator {
public:
    static ServingEmulator& Instance() {
        static ServingEmulator instance;
        return instance;
    }
    bool Ready() const { return ready_; }
    const std::string& RuntimeDir() const { return runtimeDir_; }
    // The device's socket, as the emulator printed it.
    const std::string& SocketPath() const { return socketPath_; }

    ~ServingEmulator() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            WaitFor(pid_);
        }
        std::error_code ignored;
        if (!runtimeDir_.empty()) std::filesystem::remove_all(runtimeDir_, ignored);
    }

private:
    ServingEmulator() {
        char pattern[] = "/tmp/azk-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return;
        runtimeDir_ = pattern;
        ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = Spawn({AZK_DEVICE_EMULATOR_BINARY, "--serve"}, false, out[1]);
        ::close(out[1]);
        // Ready once it has printed its socket path.
        char c = 0;
        pollfd pfd = {out[0], POLLIN, 0};
        while (pid_ > 0 && ::poll(&pfd, 1, 10000) > 0 && ::read(out[0], &c, 1) == 1) {
            if (c == '\n') {
                ready_ = true;
                break;
            }
            socketPath_ += c;
        }
        ::close(out[0]);
    }

    std::string runtimeDir_;
    std::string socketPath_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

void BM_VhidKeyLockGetRoundTrip(benchmark::State& state) {
    if (!ServingEmulator::Instance().Ready()) {
        state.SkipWithError("DeviceEmulator --serve did not start");
        return;
    }
    SessionHandle session = SessionCreate(SESSION_VARIANT_16, nullptr);
    if (session == nullptr) {
        state.SkipWithError("no session");
        return;
    }
    SessionParamBlock block{};
    for (auto _ : state) {
        if (SessionExec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, nullptr) != 0) {
            state.SkipWithError("command failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    SessionFree(session);
}
BENCHMARK(BM_VhidKeyLockGetRoundTrip)->UseRealTime();

// `count` key-lock gets through the session library; the session is opened
// and closed outside the timed part (the device serves one connection at a
// time).
double StackBlock(int count) {
    SessionHandle session = SessionCreate(SESSION_VARIANT_16, nullptr);
    if (session == nullptr) return -1;
    SessionParamBlock block{};
    bool ok = true;
    const auto start = Clock::now();
    for (int i = 0; i < count && ok; ++i) {
        ok = SessionExec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, nullptr) == SESSION_RESULT_OK;
    }
    const double seconds = azk::bench::SecondsSince(start);
    SessionFree(session);
    return ok ? seconds : -1;
}

// The same gets from a bare client: one send of the 17-byte output report
// and one recv of the answer per get, on a connection of its own to the same
// device socket.
double BareBlock(const std::string& socketPath, int count) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    uint8_t answer[4096];
    bool ok = socketPath.size() < sizeof addr.sun_path;
    if (ok) {
        std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
        ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    }
    // The hello: magic "VHID", then the device's description.
    ok = ok && ::recv(fd, answer, sizeof answer, 0) >= 14 && std::memcmp(answer, "VHID", 4) == 0;
    // Output report ID 2, then the request: marker, op 2 (get), function
    // 0x0036, argument, target 0, reserved, length 0.
    const uint8_t request[17] = {0x02, 0x80, 0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const auto start = Clock::now();
    for (int i = 0; i < count && ok; ++i) {
        ok = ::send(fd, request, sizeof request, 0) == static_cast<ssize_t>(sizeof request);
        // Input report ID 1, then the answer (0x83, op 3).
        ok = ok && ::recv(fd, answer, sizeof answer, 0) == 17 && answer[0] == 0x01 && answer[1] == 0x83 &&
             answer[2] == 0x03;
    }
    const double seconds = azk::bench::SecondsSince(start);
    ::close(fd);
    return ok ? seconds : -1;
}

// Both clients against the same emulator process, in turns: 16 rounds of
// 2500 gets each (a block runs long enough for the threads to settle on the
// CPUs after the session's start, which takes a few milliseconds). Prints the table row; the counters show the same figures.
void BM_VhidRoundTripBesideBareClient(benchmark::State& state) {
    const ServingEmulator& emulator = ServingEmulator::Instance();
    if (!emulator.Ready()) {
        state.SkipWithError("DeviceEmulator --serve did not start");
        return;
    }
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    const int cpuCount = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 0;
    for (auto _ : state) {
        azk::bench::Comparison result;
        if (!azk::bench::CompareInterleaved(StackBlock,
                                            [&](int count) { return BareBlock(emulator.SocketPath(), count); },
                                            16, 2500, result)) {
            state.SkipWithError("a get failed");
            return;
        }
        azk::bench::PrintRateRow("key-lock get round trip, host vhid, " + std::to_string(cpuCount) + " CPU",
                                 "SessionExec", "bare client", result, ">= 0.9x");
        state.counters["stack/s"] = result.perBlock / result.subjectSeconds;
        state.counters["bare/s"] = result.perBlock / result.peerSeconds;
        state.counters["speed_ratio"] = 1 / result.ratio;
    }
}
BENCHMARK(BM_VhidRoundTripBesideBareClient)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// An in-process vhid device for the wake-up measurements, which need to
// know when the device sent.
class LocalDevice {
public:
    LocalDevice() : model_(16) {
        char pattern[] = "/tmp/azk-bench-local-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return;
        dir_ = pattern;
        azk::azk_SVhidOptions options;
        options.directory = dir_;
        options.name = "dev.sock";
        server_ = std::make_unique<azk::azk_CVhidServer>(model_, options);
        std::string error;
        if (!server_->Start(error)) server_.reset();
    }
    ~LocalDevice() {
        server_.reset();
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    std::unique_ptr<azk::HidInterface> Open() {
        if (!server_) return nullptr;
        auto iface = platform_.OpenInterface("vhid:" + server_->SocketPath());
        if (iface && !iface->CreateIoEvents()) iface.reset();
        return iface;
    }
    azk::azk_CDeviceModel& Model() { return model_; }

private:
    azk::azk_CDeviceModel model_;
    std::string dir_;
    std::unique_ptr<azk::azk_CVhidServer> server_;
    azk::linuxhid::LinuxHidPlatform platform_;
};

// From the device sending an input report to the blocked reader holding it.
void BM_VhidReceiverWakeOnReport(benchmark::State& state) {
    LocalDevice device;
    auto iface = device.Open();
    if (!iface) {
        state.SkipWithError("no vhid interface");
        return;
    }
    std::atomic<int64_t> received{0};  // steady-clock ns of the last report read
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        uint8_t report[17];
        while (!stop.load() && iface->Read(report, sizeof report, -1) == azk::HidIoResult::Ok) {
            received.store(Clock::now().time_since_epoch().count());
        }
    });
    for (auto _ : state) {
        received.store(0);
        const auto sent = Clock::now();
        device.Model().SendEvent(1, 2);
        int64_t at = 0;
        while ((at = received.load()) == 0) std::this_thread::yield();
        state.SetIterationTime(std::chrono::duration<double>(Clock::duration(at) - sent.time_since_epoch()).count());
    }
    stop.store(true);
    iface->WakeRead();
    reader.join();
}
BENCHMARK(BM_VhidReceiverWakeOnReport)->UseManualTime();

// From WakeRead to the blocked read returning (how fast a session stops).
void BM_VhidReceiverWakeOnCancel(benchmark::State& state) {
    LocalDevice device;
    for (auto _ : state) {
        state.PauseTiming();
        auto iface = device.Open();
        if (!iface) {
            state.SkipWithError("no vhid interface");
            break;
        }
        std::atomic<int64_t> returned{0};
        std::atomic<bool> reading{false};
        std::thread reader([&] {
            uint8_t report[17];
            reading.store(true);
            iface->Read(report, sizeof report, -1);
            returned.store(Clock::now().time_since_epoch().count());
        });
        while (!reading.load()) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // into poll()
        state.ResumeTiming();
        const auto woken = Clock::now();
        iface->WakeRead();
        reader.join();
        state.SetIterationTime(
            std::chrono::duration<double>(Clock::duration(returned.load()) - woken.time_since_epoch()).count());
    }
}
BENCHMARK(BM_VhidReceiverWakeOnCancel)->UseManualTime()->Iterations(200);

// KeyConfig -require as a process against the serving emulator.
void BM_KeyConfigRequireProcess(benchmark::State& state) {
    if (!ServingEmulator::Instance().Ready()) {
        state.SkipWithError("DeviceEmulator --serve did not start");
        return;
    }
    for (auto _ : state) {
        const pid_t pid = Spawn({AZK_KEYCONFIG_BINARY, "-require"}, true);
        if (pid < 0 || WaitFor(pid) != 0) {
            state.SkipWithError("KeyConfig failed");
            break;
        }
    }
}
BENCHMARK(BM_KeyConfigRequireProcess)->UseRealTime()->Unit(benchmark::kMillisecond);

// The one-shot form: DeviceEmulator -- KeyConfig -require, private directory
// and device set-up included.
void BM_EmulatorRunsKeyConfigRequire(benchmark::State& state) {
    for (auto _ : state) {
        const pid_t pid = Spawn({AZK_DEVICE_EMULATOR_BINARY, "--", AZK_KEYCONFIG_BINARY, "-require"}, true);
        if (pid < 0 || WaitFor(pid) != 0) {
            state.SkipWithError("DeviceEmulator or KeyConfig failed");
            break;
        }
    }
}
BENCHMARK(BM_EmulatorRunsKeyConfigRequire)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
