// The settings store's dealings with the file system, which differ between systems: where the
// store lives, making its folder, the lock that serialises writers, keeping a damaged file
// aside and replacing a file atomically (which the run record does too). The store's format and
// logic are in registry.cpp.
#pragma once

#include <cstddef>
#include <string>

#include "platform/result.h"

namespace vantor::platform {

// What reading the store's file found. Only a regular file of at most the limit is read: a
// device, a FIFO or a huge file is never taken for a store.
enum class StoreFileState { Missing, Read, Unreadable, NotAStore };

// The file as read: its whole text when it was Read, else why not (the system's words for a
// missing file too).
struct StoreFileText {
    StoreFileState state = StoreFileState::Missing;
    std::string text;
    std::string why;
};

// Reads the whole file at `path` without ever waiting on it (a FIFO without a writer would hold
// a plain open), looking at what it is before any byte is read.
StoreFileText ReadStoreFile(const std::string& path, std::size_t limit);

// Whether `path` itself, not what a link there points to, is a regular file.
bool IsRegularFile(const std::string& path);

// The store's file when $VANTOR_REGISTRY is not set: $XDG_CONFIG_HOME/vantor/registry (else
// ~/.config/vantor/registry) on POSIX systems, %APPDATA%\vantor\registry on Windows.
std::string DefaultStorePath();

// The folder that holds `path` ("." for a bare name).
std::string ParentFolder(const std::string& path);
// Creates every missing folder of `folder`.
void MakeFolders(const std::string& folder);
// Whether this process may write `path` (a file or a folder).
bool Writable(const std::string& path);

// Holds an exclusive lock on the store's lock file (the store's path and ".lock"; for a store
// reached through a symbolic link, the path of the file it leads to) for its lifetime, so that two
// instances never interleave a read-modify-write of the store.
class StoreLock {
  public:
    explicit StoreLock(const std::string& store_path);
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool Held() const { return held_; }

  private:
    bool held_ = false;
    // The lock file's descriptor or handle.
    long long lock_ = -1;
};

// Keeps a damaged store (the file a symbolic link leads to) under a name of its own, so that the
// operator's file is never lost to the next write; an earlier damaged copy is kept as well. Says so
// on stderr.
bool MoveAside(const std::string& path);

// Succeeds when the file at `path` may be replaced: it may be written or is absent. Fails, with
// why, when it exists and its mode gives the user no write permission (a store made read-only
// on purpose). A symbolic link is judged by the file it leads to.
Result<void> CheckReplaceable(const std::string& path);

// Replaces the file at `path` with `text` through a temporary file in the same folder, flushed
// to the disk and renamed over it: a reader sees the old file or the new one, never a part.
// A symbolic link at `path` stays: the file it leads to is replaced, so that a store shared
// through links stays shared. The new file keeps the old one's mode; a new file is as readable
// as any file the user writes. A file that CheckReplaceable refuses is left as it is. The result
// says why the file could not be written.
Result<void> WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace vantor::platform
