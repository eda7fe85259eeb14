// A program running on a simulated machine, with its output collected on
// pipes, and what it left when it ended.
#pragma once

#include <string>
#include <sys/types.h>

namespace sim {

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;   // exit status as the shell sees it; 128 + signal when killed
};

// A running tool process with its output collected on pipes.
class Process {
public:
    Process(pid_t pid, int outFd, int errFd);
    ~Process();
    Process(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // Collects output until `needle` has appeared on standard output or
    // `timeoutMs` has passed; true when it appeared.
    bool waitForOutput(const std::string& needle, int timeoutMs);
    // Waits until the process watches something with inotify.
    bool waitForInotifyWatch(int timeoutMs) const;
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    // Sends `signal` (if still running), collects the rest and the status.
    // A sanitizer report in the tool's error output is an error of the test.
    RunResult finish(int signal = 0);

private:
    RunResult collect(int signal);
    bool pump(int timeoutMs);
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
};

} // namespace sim
