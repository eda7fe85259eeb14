// What the tool changes the machine with: commands through the shell
// (setpci), and files replaced whole.  The report reaches none of this.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

struct ConfiguredGpu;
struct StoredGpu;
struct SavedGpu;

// A shell command with its output on a pipe, waited for at destruction.
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

// Our messages are buffered; a child writes straight to the descriptors.
// Flushing first keeps the lines in order.
void flushBeforeChild();

// Replaces `path` with `length` bytes, owner-only, never in part: a temporary beside
// it, flushed, renamed, the directory synced.  False (errno set), `path` unchanged.
bool replaceFile(const std::string& path, const void* data, std::size_t length);

// replaceFile's temporary names; and the removal of those a killed run left.
bool isTemporaryName(const std::string& name);
void removeStaleTemporaries(const std::string& directory);

// The records under /run, root's alone, replaced whole; false (errno set)
// when one cannot be written.  The configuration the driver took:
bool writeConfiguration(const std::vector<ConfiguredGpu>& gpus);

// What a store wrote, beside the other GPUs', dropping `failed` (whose
// memory may no longer hold what was recorded):
bool recordStored(const std::vector<StoredGpu>& stored, const std::vector<std::string>& failed);
// These GPUs, saved now, in this boot's saves beside the others:
bool recordSaved(const std::vector<SavedGpu>& saved);

// The lock that keeps stores apart (guests' starts, the host unit), held
// for the object's life; `error` says why it could not be taken.
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
