// DeviceEmulatorToolTest.cpp - the built DeviceEmulator tool as a process:
// its usage and refusals, the command it runs (environment, private
// directory, exit status, signals) and the --serve mode.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "ProcessRunner.h"
#include "emulator/EmulatorOptions.h"

namespace azk::test {
namespace {

using Args = std::vector<std::string>;

azk_SProcessResult Emulator(Args args, const std::vector<azk_SEnvChange>& env = {}) {
    args.insert(args.begin(), AZK_DEVICE_EMULATOR_BINARY);
    azk_SProcessResult result = RunProcess(args, env);
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.killed);
    return result;
}

// A private directory, removed at the end.
class azk_CScratchDir {
public:
    azk_CScratchDir() {
        std::string pattern = std::filesystem::temp_directory_path().string() + "/azk-emu-test-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
    }
    ~azk_CScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

TEST(DeviceEmulatorTool, HelpPrintsTheUsageOnStandardOutput) {
    const azk_SProcessResult r = Emulator({"--help"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("Usage: DeviceEmulator [options] -- COMMAND [ARGS...]\n"
                          "       DeviceEmulator --serve [options]\n\n",
                          0),
              0u)
        << r.out;
    const std::string tail =
        "Exit status: that of COMMAND; 2 for a bad command line; 125 when the\n"
        "devices cannot be published (1 with --serve); 126 or 127 when COMMAND\n"
        "cannot be run or found.\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    // Every option the command line takes is explained, each at the start of a line.
    for (const char* option :
         {"--serve", "--dir DIR", "--uhid", "--trace", "--help", "--device", "--devices N", "--name NAME",
          "--variant 1|2", "--numbered", "--unnumbered", "--vendor HEX", "--product HEX", "--release HEX",
          "--lock-mask HEX", "--se 0|1", "--default-lock-mask HEX, --default-se 0|1", "--held", "--refuse",
          "--misbehave LIST", "--misbehave-once LIST", "--event TYPE:VALUE[@N]", "--text CHANNEL:TEXT[@N]",
          "--fw-fail STEP:TIMES:STATUS", "--fw-bad-header STEP:TIMES", "--fw-silent STEP:TIMES"}) {
        EXPECT_NE(r.out.find(std::string("\n  ") + option), std::string::npos) << option;
    }
}

TEST(DeviceEmulatorTool, BadCommandLineEndsWith2AndRunsNothing) {
    azk_CScratchDir scratch;
    const std::string marker = scratch.Path() + "/ran";
    for (const Args& args : {Args{}, Args{"--bogus", "--", "touch", marker},
                             Args{"--variant", "9", "--", "touch", marker},
                             Args{"--misbehave", "sulky", "--", "touch", marker}, Args{"--"}}) {
        const azk_SProcessResult r = Emulator(args);
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("DeviceEmulator: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(DeviceEmulatorTool, ExitStatusIsTheCommands) {
    struct {
        const char* script;
        int status;
    } const cases[] = {
        {"exit 0", 0},
        {"exit 7", 7},
        {"exit 255", 255},
        {"kill -TERM $$", 128 + SIGTERM},
        {"kill -KILL $$", 128 + SIGKILL},
    };
    for (const auto& c : cases) {
        const azk_SProcessResult r = Emulator({"--", "sh", "-c", c.script});
        EXPECT_EQ(r.exitStatus, c.status) << c.script;
        EXPECT_EQ(r.err, "") << c.script;  // no trace unless asked for
    }
}

TEST(DeviceEmulatorTool, CommandThatCannotBeFoundEndsWith127) {
    const azk_SProcessResult r = Emulator({"--", "/nonexistent/azk-command"});
    EXPECT_EQ(r.exitStatus, 127);
    EXPECT_NE(r.err.find("/nonexistent/azk-command"), std::string::npos) << r.err;
}

TEST(DeviceEmulatorTool, CommandRunsWithAPrivateRuntimeDirectoryThatIsRemovedAfterwards) {
    const azk_SProcessResult r =
        Emulator({"--devices", "2", "--device", "--name", "pad", "--", "sh", "-c",
                  "printf '%s\\n' \"$XDG_RUNTIME_DIR\"; stat -c %a \"$XDG_RUNTIME_DIR/azk-vhid\"; "
                  "ls \"$XDG_RUNTIME_DIR/azk-vhid\""},
                 {{"XDG_RUNTIME_DIR", "/run/user/elsewhere"}});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    std::istringstream lines(r.out);
    std::string runtimeDir, mode;
    std::getline(lines, runtimeDir);
    std::getline(lines, mode);
    const std::string listing((std::istreambuf_iterator<char>(lines)), std::istreambuf_iterator<char>());
    EXPECT_NE(runtimeDir, "/run/user/elsewhere");
    EXPECT_EQ(runtimeDir.rfind("/", 0), 0u);
    EXPECT_EQ(mode, "700");
    EXPECT_EQ(listing, "dev00.sock\ndev01.sock\npad.sock\n");
    EXPECT_FALSE(std::filesystem::exists(runtimeDir));
}

TEST(DeviceEmulatorTool, TerminationIsPassedOnToTheCommand) {
    // The command asks the emulator to stop; the emulator passes SIGTERM on
    // and ends with the command's status, cleaning up.
    const azk_SProcessResult r =
        Emulator({"--", "sh", "-c", "printf '%s' \"$XDG_RUNTIME_DIR\"; kill -TERM $PPID; exec sleep 30"});
    EXPECT_EQ(r.exitStatus, 128 + SIGTERM);
    EXPECT_LT(r.seconds, 25.0);
    EXPECT_FALSE(r.out.empty());
    EXPECT_FALSE(std::filesystem::exists(r.out));
}

TEST(DeviceEmulatorTool, MissingUhidIsReported) {
    if (::access("/dev/uhid", F_OK) == 0) GTEST_SKIP() << "this machine has /dev/uhid";
    const azk_SProcessResult r = Emulator({"--uhid", "--", "true"});
    EXPECT_EQ(r.exitStatus, kEmulatorExitFailure);
    EXPECT_NE(r.err.find("/dev/uhid"), std::string::npos) << r.err;
}

// --serve, in the background, with KeyConfig runs against it.
class azk_CServingEmulator {
public:
    azk_CServingEmulator(const Args& args, const std::string& runtimeDir) {
        std::vector<std::string> argStrings = args;
        argStrings.insert(argStrings.begin(), AZK_DEVICE_EMULATOR_BINARY);
        std::vector<char*> argv;
        for (std::string& s : argStrings) argv.push_back(s.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStrings;
        for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
            if (std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0) envStrings.emplace_back(*e);
        }
        envStrings.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
        std::vector<char*> envp;
        for (std::string& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);

        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
    }
    ~azk_CServingEmulator() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
        if (out_ >= 0) ::close(out_);
    }

    // Standard output up to `lines` lines (the socket paths when ready).
    std::string ReadLines(size_t lines) {
        std::string text;
        while (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) < lines) {
            pollfd pfd = {out_, POLLIN, 0};
            if (::poll(&pfd, 1, 30000) <= 0) break;
            char c;
            if (::read(out_, &c, 1) != 1) break;
            text.push_back(c);
        }
        return text;
    }

    int Terminate() {
        ::kill(pid_, SIGTERM);
        return Wait();
    }

private:
    int Wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid_ = -1;
    int out_ = -1;
};

azk_SProcessResult KeyConfig(const Args& words, const std::string& runtimeDir) {
    Args args = {AZK_KEYCONFIG_BINARY};
    args.insert(args.end(), words.begin(), words.end());
    return RunProcess(args, {{"LANG", "C.UTF-8"}, {"XDG_RUNTIME_DIR", runtimeDir}, {"LC_ALL", "", true}});
}

TEST(DeviceEmulatorServe, ServesUntilTerminatedAndKeepsStateAcrossRuns) {
    azk_CScratchDir runtime;
    const std::string vhidDir = runtime.Path() + "/azk-vhid";
    azk_CServingEmulator server({"--serve", "--lock-mask", "007d"}, runtime.Path());
    ASSERT_EQ(server.ReadLines(1), vhidDir + "/dev00.sock\n");

    azk_SProcessResult r = KeyConfig({"-require"}, runtime.Path());
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "\ncurrent key configs : \n  locked key = \n    Call\n  se = on\n\nok : completed\n");
    r = KeyConfig({"-lock", "VolUp", "-se", "off"}, runtime.Path());
    EXPECT_EQ(r.exitStatus, 0);
    r = KeyConfig({"-require"}, runtime.Path());
    EXPECT_EQ(r.out, "\ncurrent key configs : \n  locked key = \n    VolUp\n  se = off\n\nok : completed\n");

    EXPECT_EQ(server.Terminate(), 0);
    EXPECT_FALSE(std::filesystem::exists(vhidDir + "/dev00.sock"));
    EXPECT_TRUE(std::filesystem::is_directory(vhidDir));  // the shared directory stays
    r = KeyConfig({"-require"}, runtime.Path());
    EXPECT_EQ(r.exitStatus, 252);
}

TEST(DeviceEmulatorServe, ServesInAGivenDirectoryAndRefusesAnUntrustedOne) {
    azk_CScratchDir runtime;
    const std::string dir = runtime.Path() + "/elsewhere";
    {
        azk_CServingEmulator server({"--serve", "--dir", dir, "--devices", "2"}, runtime.Path());
        EXPECT_EQ(server.ReadLines(2), dir + "/dev00.sock\n" + dir + "/dev01.sock\n");
        EXPECT_EQ(server.Terminate(), 0);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir));

    ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    const azk_SProcessResult r = Emulator({"--serve", "--dir", dir});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find(dir), std::string::npos) << r.err;
}

}  // namespace
}  // namespace azk::test
