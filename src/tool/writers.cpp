#include "writers.h"

#include "record.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <dirent.h>
#include <sys/file.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

CommandPipe::CommandPipe(const char* command)
{
    flushBeforeChild();
    stream_ = ::popen(command, "r");
}

CommandPipe::~CommandPipe()
{
    close();
}

int CommandPipe::close()
{
    return stream_ ? ::pclose(std::exchange(stream_, nullptr)) : 0;
}

void flushBeforeChild()
{
    std::fflush(stdout);
    std::fflush(stderr);
}

namespace {

const char* const TEMPORARY_SUFFIX = ".tmp";

// Flushes a directory's entries, so that a rename in it survives a power loss.
bool syncDirectory(const std::string& directory)
{
    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.isOpen() && ::fsync(dir.get()) == 0;
}

bool makeRunDirectory()
{
    return ::mkdir(CONFIGURATION_DIR, 0700) == 0 || errno == EEXIST;
}

// A record's GPUs with this run's: entries `fresh` or `dropped` name give way; bus order.
template <typename Gpu>
void mergeByBus(std::vector<Gpu>& gpus, const std::vector<Gpu>& fresh,
                const std::vector<std::string>& dropped = {})
{
    auto replaced = [&](const Gpu& g) {
        return std::find(dropped.begin(), dropped.end(), g.bus) != dropped.end() ||
               std::any_of(fresh.begin(), fresh.end(), [&](const Gpu& f) { return f.bus == g.bus; });
    };
    gpus.erase(std::remove_if(gpus.begin(), gpus.end(), replaced), gpus.end());
    gpus.insert(gpus.end(), fresh.begin(), fresh.end());
    std::sort(gpus.begin(), gpus.end(), [](const Gpu& a, const Gpu& b) { return a.bus < b.bus; });
}

// One of the records under CONFIGURATION_DIR, made afresh with `text`.
bool writeRunRecord(const char* path, const std::string& text)
{
    return makeRunDirectory() && replaceFile(path, text.data(), text.size());
}

} // namespace

bool isTemporaryName(const std::string& name)
{
    // "." + the file's name + "." + a process ID + ".tmp"
    const std::size_t suffix = std::strlen(TEMPORARY_SUFFIX);
    if (name.size() <= 1 + suffix || name[0] != '.' ||
        name.compare(name.size() - suffix, suffix, TEMPORARY_SUFFIX) != 0)
        return false;
    const std::string middle = name.substr(1, name.size() - 1 - suffix);
    const std::size_t dot = middle.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == middle.size())
        return false;
    return middle.find_first_not_of("0123456789", dot + 1) == std::string::npos;
}

void removeStaleTemporaries(const std::string& directory)
{
    DIR* dir = ::opendir(directory.c_str());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir))
        if (isTemporaryName(entry->d_name))
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    ::closedir(dir);
}

bool replaceFile(const std::string& path, const void* data, std::size_t length)
{
    const auto slash = path.rfind('/');
    const std::string directory = path.substr(0, slash + 1);
    const std::string temporary = directory + "." + path.substr(slash + 1) + "." +
                                  std::to_string(::getpid()) + TEMPORARY_SUFFIX;
    // Root's alone: the guest's records hold host-physical addresses.
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                       0600));
    if (!fd.isOpen())
        return false;
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < length) {
        const ssize_t n = ::write(fd.get(), bytes + done, length - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            ok = false;
    }
    ok = ok && ::fsync(fd.get()) == 0;
    ok = ::close(fd.release()) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        errno = saved;
        return false;
    }
    // The file is whole under its name: a directory not synced fails nothing.
    syncDirectory(directory.empty() ? "." : directory);
    return true;
}

bool writeConfiguration(const std::vector<ConfiguredGpu>& gpus)
{
    return writeRunRecord(CONFIGURATION_RECORD, formatConfiguration(gpus));
}

bool recordStored(const std::vector<StoredGpu>& stored, const std::vector<std::string>& failed)
{
    // A record that cannot be read says nothing: it is started afresh.
    std::vector<StoredGpu> gpus;
    readStored(gpus);
    mergeByBus(gpus, stored, failed);
    return writeRunRecord(STORED_RECORD, formatStored(gpus));
}

bool recordSaved(const std::vector<SavedGpu>& saved)
{
    std::vector<SavedGpu> gpus;
    readSaved(gpus);
    mergeByBus(gpus, saved);
    return writeRunRecord(SAVED_RECORD, formatSaved(bootId(), gpus));
}

const char* StoreLock::path()
{
    return "/run/qvgpu-vm-p2p/store.lock";
}

StoreLock::StoreLock()
{
    if (makeRunDirectory())
        fd_.reset(::open(path(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd_.isOpen()) {
        error_ = std::strerror(errno);
        return;
    }
    // Another store holds it: wait (a store takes seconds; the hook's time
    // limit bounds a stuck one).
    while (::flock(fd_.get(), LOCK_EX) != 0)
        if (errno != EINTR) {
            error_ = std::strerror(errno);
            fd_.reset();
            return;
        }
}
