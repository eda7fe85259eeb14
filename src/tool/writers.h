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

// A command started through the shell with its standard output on a pipe,
// closed and waited for on destruction unless close() did it.
class CommandPipe {
public:
    explicit CommandPipe(const char* command);
    ~CommandPipe();
    CommandPipe(const CommandPipe&) = delete;
    CommandPipe& operator=(const CommandPipe&) = delete;

    FILE* stream() const { return stream_; }
    int close();   // the result of pclose

private:
    FILE* stream_ = nullptr;
};

// Our own messages are buffered on standard output; a child started through
// the shell writes straight to the shared descriptors.  Flushing first keeps
// the lines in the order in which they happened.
void flushBeforeChild();

// Replaces the file at `path` with exactly `length` bytes, its owner's alone,
// so that it is either the old file or the whole new one, never a part: a
// temporary file beside it, flushed, renamed over it, the name synced in its
// directory.  False (errno set) when a step fails, `path` left as it was.
bool replaceFile(const std::string& path, const void* data, std::size_t length);

// A name replaceFile gives its temporary files; and the removal of those a
// run killed inside it left behind in `directory`.
bool isTemporaryName(const std::string& name);
void removeStaleTemporaries(const std::string& directory);

// The records under /run (record.h), root's alone, each replaced whole;
// false (errno set) when one cannot be written.  The configuration the GPU
// driver took:
bool writeConfiguration(const std::vector<ConfiguredGpu>& gpus);

// What a store wrote, in this boot's stores beside every other GPU's,
// dropping `failed`, whose memory may no longer hold what the record says:
bool recordStored(const std::vector<StoredGpu>& stored, const std::vector<std::string>& failed);
// These GPUs, saved now, in this boot's saves beside the others:
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
