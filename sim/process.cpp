#include "process.h"

#include "files.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace sim {

namespace {

long long nowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

} // namespace

Process::Process(pid_t pid, int outFd, int errFd) : pid_(pid), outFd_(outFd), errFd_(errFd) {}

Process::Process(Process&& other) noexcept
    : pid_(other.pid_), outFd_(other.outFd_), errFd_(other.errFd_),
      out_(std::move(other.out_)), err_(std::move(other.err_))
{
    other.pid_ = -1;
    other.outFd_ = other.errFd_ = -1;
}

Process::~Process()
{
    if (pid_ > 0)
        collect(SIGKILL);
}

bool Process::pump(int timeoutMs)
{
    pollfd fds[2];
    int n = 0;
    if (outFd_ >= 0)
        fds[n++] = {outFd_, POLLIN, 0};
    if (errFd_ >= 0)
        fds[n++] = {errFd_, POLLIN, 0};
    if (n == 0)
        return false;
    const int ready = ::poll(fds, n, timeoutMs);
    if (ready <= 0)
        return ready == 0 || errno == EINTR;
    for (int i = 0; i < n; ++i) {
        if (!fds[i].revents)
            continue;
        char buf[4096];
        const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
        const bool isOut = fds[i].fd == outFd_;
        if (got > 0) {
            (isOut ? out_ : err_).append(buf, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            ::close(fds[i].fd);
            (isOut ? outFd_ : errFd_) = -1;
        }
    }
    return true;
}

bool Process::waitForOutput(const std::string& needle, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    while (out_.find(needle) == std::string::npos) {
        const long long left = deadline - nowMs();
        if (left <= 0 || !pump(static_cast<int>(left)))
            return out_.find(needle) != std::string::npos;
    }
    return true;
}

bool Process::waitForInotifyWatch(int timeoutMs) const
{
    // /proc/<pid>/fdinfo of an inotify descriptor lists one "inotify wd:"
    // line per watch.
    const std::string fdinfo = "/proc/" + std::to_string(pid_) + "/fdinfo";
    const long long deadline = nowMs() + timeoutMs;
    do {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(fdinfo, ec)) {
            std::string text;
            try {
                text = readFile(entry.path().string());
            } catch (const std::exception&) {
                continue;
            }
            if (text.find("inotify wd:") != std::string::npos)
                return true;
        }
        ::usleep(2000);
    } while (nowMs() < deadline);
    return false;
}

RunResult Process::finish(int signal)
{
    RunResult result = collect(signal);
    for (const char* marker : {"AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer",
                               "runtime error:"})
        if (result.err.find(marker) != std::string::npos)
            throw std::runtime_error("sanitizer report from the tool:\n" + result.err);
    return result;
}

RunResult Process::collect(int signal)
{
    RunResult result;
    if (pid_ <= 0)
        return result;
    if (signal)
        ::kill(pid_, signal);
    // A tool that does not end on its own within a minute is a failure of
    // the test, not a reason to hang the suite.
    const long long deadline = nowMs() + 60000;
    while (outFd_ >= 0 || errFd_ >= 0) {
        const long long left = deadline - nowMs();
        if (left <= 0) {
            ::kill(pid_, SIGKILL);
            break;
        }
        pump(static_cast<int>(left));
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (outFd_ >= 0)
        ::close(outFd_);
    if (errFd_ >= 0)
        ::close(errFd_);
    outFd_ = errFd_ = -1;
    result.out = out_;
    result.err = err_;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

} // namespace sim
