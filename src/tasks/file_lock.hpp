#pragma once

// An exclusive advisory lock (flock) on a lock file, held for the lifetime
// of the FileLock object. Runs of the tool that change shared state take one
// before they start and wait for each other; no run goes ahead without the
// lock it asked for, unless no lock file can exist at all (nowhere()), when
// the caller decides.
//
// The lock file is created empty (mode 0600) when absent and never removed
// or written. It is opened without following a symbolic link and without
// blocking on a FIFO, and only a regular file is accepted: a link, FIFO,
// device or directory planted at its name makes the lock unavailable.
//
// Each FileLock has its own open file description, so two FileLocks on
// different files are independent, and two on the same file exclude each
// other even within one process. Nothing is shared between objects.

#include "build_limits.hpp"
#include "handles/fd.hpp"

#include <chrono>
#include <string>

namespace tasks
{

class FileLock
{
  public:
    // Takes the lock on lockFile, waiting while another holder keeps it, at
    // most `patience` (the built-in lock patience unless a test says less).
    explicit FileLock(
        const std::string& lockFile,
        std::chrono::milliseconds patience = limits::lockPatience);

    // Takes the lock on lockFile in a directory that only this user can
    // enter, creating the directory (mode 0700) when absent, so that no
    // process of another user can open the lock file and hold it. A
    // directory that is not this user's alone, or a link, makes the lock
    // unavailable, as does a directory that cannot be made.
    static FileLock inPrivateDirectory(
        const std::string& lockFile,
        std::chrono::milliseconds patience = limits::lockPatience);

    // Closing the lock file's only descriptor releases the lock.
    ~FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    FileLock(FileLock&&) noexcept = default;
    FileLock& operator=(FileLock&&) noexcept = default;

    // True when the lock is held.
    bool held() const noexcept;

    // When the lock is not held, why, naming the lock file: "<path> is held
    // by another run for more than <n> s" or "<path> cannot be opened
    // safely (<reason>)". Empty when held.
    const std::string& failure() const noexcept;

    // True when the lock file could not be opened because no file can be
    // there at all: its directory is absent, or on a read-only file system.
    bool nowhere() const noexcept;

    // The errno value of the failed open of the lock file; 0 when it
    // opened.
    int openErrno() const noexcept
    {
        return openError;
    }

  private:
    FileLock() = default;
    // Waits for the lock on opened, which is named lockFile in the reasons.
    void acquire(UniqueFd opened, const std::string& lockFile,
                 std::chrono::milliseconds patience);

    UniqueFd file;
    std::string why;
    int openError = 0;
};

} // namespace tasks
