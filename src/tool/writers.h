// What the tool changes the machine with: commands started through the
// shell (setpci, for configuration-space writes), and files replaced whole
// (the guest's store files, the record of a configuration).  The report
// reaches none of this.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

struct ConfiguredGpu;
struct StoredGpu;
struct SavedGpu;

// A command started through the shell with its standard output on a pipe.
// The stream is closed (and the command waited for) on destruction unless
// close() has already done it.
class CommandPipe {
public:
    explicit CommandPipe(const char* command);
    ~CommandPipe();
    CommandPipe(const CommandPipe&) = delete;
    CommandPipe& operator=(const CommandPipe&) = delete;

    FILE* stream() const { return stream_; }
    // Waits for the command; the result of pclose.
    int close();

private:
    FILE* stream_ = nullptr;
};

// Our own messages are buffered on standard output; a child started through
// the shell writes straight to the shared descriptors.  Flushing first keeps
// the lines in the order in which they happened.
void flushBeforeChild();

// Replaces the file at `path` with exactly `length` bytes of `data`, readable
// and writable by its owner alone, so that
// the file is either the old one or the whole new one, never a part: the
// bytes go to a temporary file in the same directory, which is flushed to
// disk and then renamed over `path`.  False (errno set) when any step fails;
// the temporary file is then removed and `path` is left as it was.
// The new name is synced in its directory before it returns.
bool replaceFile(const std::string& path, const void* data, std::size_t length);

// True for a name that replaceFile gives its temporary files.
bool isTemporaryName(const std::string& name);
// Removes what a run killed inside replaceFile left behind in `directory`:
// the files of its temporary naming.
void removeStaleTemporaries(const std::string& directory);

// Replaces the record of the configuration the GPU driver took
// (CONFIGURATION_RECORD, record.h) whole, root's alone; false (errno set)
// when it cannot.
bool writeConfiguration(const std::vector<ConfiguredGpu>& gpus);

// Adds what a store wrote to the record of this boot's stores
// (STORED_RECORD, record.h), replacing the entries of the same GPUs and
// dropping those of `failed`, whose memory may no longer hold what the
// record says; the entries of every other GPU stay.  Root's alone, replaced
// whole; false (errno set) when it cannot be written.
bool recordStored(const std::vector<StoredGpu>& stored, const std::vector<std::string>& failed);
// Enters these GPUs, saved now, in this boot's record of saves
// (SAVED_RECORD), beside the others saved this boot; false, with errno,
// when it cannot be written.
bool recordSaved(const std::vector<SavedGpu>& saved);

// The lock that keeps stores apart (a guest's start and another's, or the
// host unit's): held from construction, until destruction.  `error` says
// why it could not be taken ("" when it was).
class StoreLock {
public:
    StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    const std::string& error() const { return error_; }
    static const char* path();   // CONFIGURATION_DIR + "/store.lock"

private:
    UniqueFd fd_;
    std::string error_;
};
