// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velorin::testing {

// A child process started with fork and exec, its standard input and output
// on pipes (standard error to a file). Only the PID started here is ever
// signalled, and a killed child is reaped at once, so nothing (a lock file's
// liveness check, say) takes it for alive afterwards. The destructor kills
// and reaps a child still running.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& stderrFile = "/dev/null");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Sends `signal` and waits for the child to end.
    void kill(int signal);
    bool write(std::string_view bytes);
    // Closes the child's standard input (it reads end of file).
    void closeInput();
    // Waits up to `limit` for the child to end by itself; its exit status, or none.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);

    // Everything the child wrote so far (reads what is there, never blocks).
    const std::string& drain();
    // Waits up to `limit` for a complete output line beginning with `prefix`
    // that was not returned before, and returns it without the newline. Runs
    // `pump` between looks when given (a test's own event loop), else waits
    // on the pipe for at most a millisecond at a time.
    std::optional<std::string> nextLine(std::string_view prefix, std::chrono::milliseconds limit,
                                        const std::function<void()>& pump = {});
    // How many times `text` occurs in the output so far.
    std::size_t countOccurrences(std::string_view text);

private:
    pid_t pid_ = -1;
    int stdinFD_ = -1;
    int stdoutFD_ = -1;
    std::string output_;
    std::size_t consumed_ = 0;  // output before this offset was already returned by nextLine
};

}  // namespace velorin::testing
