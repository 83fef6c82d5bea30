// Running a program of the project (or a tool) as a child process with captured output.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace test {

// Starts `args[0]` (searched in PATH when it has no slash) with `args` and with `env`
// ("NAME=value") added to this process's environment; its standard output and error go to
// `fdOut` and `fdErr` (-1: this process's own), its input comes from /dev/null when
// `bNullInput`. The child's pid, or -1 when it cannot be started. posix_spawn, not fork:
// the child of a fork in a process whose other threads relay may find a lock of the
// allocator held, and hang before it runs the program.
inline pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
                   int fdOut, int fdErr, bool bNullInput) {
    std::vector<std::string> environment;
    for (char** p = environ; *p != nullptr; ++p) {
        const std::string_view entry(*p);
        const std::string_view name = entry.substr(0, entry.find('='));
        bool bReplaced = false;
        for (const std::string& e : env) {
            bReplaced = bReplaced || std::string_view(e).substr(0, e.find('=')) == name;
        }
        if (!bReplaced) {
            environment.emplace_back(entry);
        }
    }
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : environment) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (bNullInput) {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (fdOut >= 0) {
        posix_spawn_file_actions_adddup2(&actions, fdOut, STDOUT_FILENO);
    }
    if (fdErr >= 0) {
        posix_spawn_file_actions_adddup2(&actions, fdErr, STDERR_FILENO);
    }
    pid_t pid = -1;
    const int nError = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return nError == 0 ? pid : -1;
}

class CChildProcess {
public:
    // Starts `args[0]` with the arguments and `env` added to the environment.
    CChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        m_pid = Spawn(args, env, out[1], err[1], true);
        if (m_pid < 0) {
            m_nStatus = 127 << 8;  // as a shell says of a program it cannot run
        }
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~CChildProcess() {
        if (m_pid > 0 && m_nStatus < 0) {
            ::kill(m_pid, SIGKILL);
            Wait(std::chrono::seconds(5));
        }
        ::close(m_out);
        ::close(m_err);
    }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    void Signal(int nSignal) {
        if (m_pid > 0) {
            ::kill(m_pid, nSignal);
        }
    }
    pid_t Pid() const { return m_pid; }

    // Collects output until the process ends or the time is up; the exit code, or -1.
    int Wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_nStatus < 0 && std::chrono::steady_clock::now() < deadline) {
            Pump(20);
            int nStatus = 0;
            if (::waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
                m_nStatus = nStatus;
            }
        }
        Pump(0);
        if (m_nStatus < 0) {
            return -1;
        }
        return WIFEXITED(m_nStatus) ? WEXITSTATUS(m_nStatus) : 128 + WTERMSIG(m_nStatus);
    }

    // Collects output until `text` shows in the standard error, or the time is up.
    bool WaitForStderr(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_strErr.find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            Pump(20);
        }
        return m_strErr.find(text) != std::string::npos;
    }

    const std::string& Out() {
        Pump(0);
        return m_strOut;
    }
    const std::string& Err() {
        Pump(0);
        return m_strErr;
    }

private:
    void Pump(int nTimeoutMs) {
        pollfd pfds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        if (::poll(pfds, 2, nTimeoutMs) <= 0) {
            return;
        }
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if (pfds[i].revents != 0) {
                const ssize_t n = ::read(pfds[i].fd, buffer, sizeof(buffer));
                if (n > 0) {
                    (i == 0 ? m_strOut : m_strErr).append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    int m_nStatus = -1;
    std::string m_strOut;
    std::string m_strErr;
};

}  // namespace test
