// ProcessRunner.h - runs a program as a child process with a given
// environment and collects its exit status and both output streams.
#ifndef AZK_TESTS_BLACKBOX_PROCESS_RUNNER_H
#define AZK_TESTS_BLACKBOX_PROCESS_RUNNER_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace azk::test {

struct azk_SProcessResult {
    bool started = false;
    bool killed = false;  // the deadline passed and the process group was killed
    int exitStatus = -1;  // the exit status, or 128 + N for signal N
    std::string out;
    std::string err;
    double seconds = 0;
};

// One change to the inherited environment: set `name` to `value`, or drop
// it when `remove` is set.
struct azk_SEnvChange {
    std::string name;
    std::string value;
    bool remove = false;
};

// Runs argv[0] (searched in PATH) in a process group of its own, with
// stdin from /dev/null. After deadlineSeconds the whole group is killed.
inline azk_SProcessResult RunProcess(const std::vector<std::string>& args,
                                     const std::vector<azk_SEnvChange>& changes = {},
                                     double deadlineSeconds = 60) {
    azk_SProcessResult result;
    if (args.empty()) return result;

    std::map<std::string, std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq != nullptr) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const azk_SEnvChange& change : changes) {
        if (change.remove) {
            env.erase(change.name);
        } else {
            env[change.name] = change.value;
        }
    }
    std::vector<std::string> envStrings;
    for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
    std::vector<std::string> argStrings = args;
    std::vector<char*> argv, envp;
    for (std::string& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (std::string& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return result;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (rc != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return result;
    }
    result.started = true;

    const auto deadline = start + std::chrono::milliseconds(static_cast<int64_t>(deadlineSeconds * 1000));
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(-pid, SIGKILL);
            result.killed = true;
            break;
        }
        const int n = ::poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& p : fds) {
        if (p.fd >= 0) ::close(p.fd);
    }
    // Wait for the child's end without reaping it, so that its process
    // group cannot have been reused, then end whatever it left behind.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.exitStatus = 128 + WTERMSIG(status);
    return result;
}

}  // namespace azk::test

#endif
