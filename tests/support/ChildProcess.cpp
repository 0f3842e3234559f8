// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace velorin::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& stderrFile) {
    int in[2];
    int out[2];
    if (argv.empty() || ::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    // Everything the child needs is prepared before fork: only async-signal-safe
    // calls run between fork and exec.
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        const int err = ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (err >= 0) ::dup2(err, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (pid_ < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return;
    }
    stdinFD_ = in[1];
    stdoutFD_ = out[0];
    ::fcntl(stdoutFD_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    kill(SIGKILL);
    closeInput();
    if (stdoutFD_ >= 0) ::close(stdoutFD_);
}

void ChildProcess::kill(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

bool ChildProcess::write(std::string_view bytes) {
    if (stdinFD_ < 0) return false;
    return ::write(stdinFD_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

void ChildProcess::closeInput() {
    if (stdinFD_ >= 0) ::close(stdinFD_);
    stdinFD_ = -1;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return std::nullopt;
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= end) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

const std::string& ChildProcess::drain() {
    char buf[4096];
    for (;;) {
        const auto n = ::read(stdoutFD_, buf, sizeof buf);
        if (n <= 0) break;
        output_.append(buf, static_cast<std::size_t>(n));
    }
    return output_;
}

std::optional<std::string> ChildProcess::nextLine(std::string_view prefix, std::chrono::milliseconds limit,
                                                  const std::function<void()>& pump) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        drain();
        for (std::size_t start = consumed_; start < output_.size();) {
            const auto newline = output_.find('\n', start);
            if (newline == std::string::npos) break;
            const std::string_view line(output_.data() + start, newline - start);
            start = newline + 1;
            if (line.substr(0, prefix.size()) == prefix) {
                consumed_ = start;
                return std::string(line);
            }
        }
        if (std::chrono::steady_clock::now() >= end) return std::nullopt;
        if (pump) {
            pump();
        } else {
            pollfd p{stdoutFD_, POLLIN, 0};
            // After the child ended the pipe reports hang-up at once: do not spin.
            if (::poll(&p, 1, 1) > 0 && (p.revents & POLLIN) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

std::size_t ChildProcess::countOccurrences(std::string_view text) {
    drain();
    std::size_t n = 0;
    for (auto pos = output_.find(text); pos != std::string::npos; pos = output_.find(text, pos + 1)) ++n;
    return n;
}

}  // namespace velorin::testing
