#pragma once

// Small POSIX file steps shared by the task list's file and its lock: whole
// reads and writes that survive short transfers and interrupted calls, and
// the directory sync that makes a created, renamed or removed name durable.

#include <fcntl.h>
#include <sys/types.h>

#include <string>
#include <string_view>

namespace tasks
{

// Flags for opening a name the tool owns: never through a symbolic link,
// never waiting for a FIFO's other end, never taking a terminal.
inline constexpr int safeOpenFlags =
    O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Writes all of data at offset; false on the first failing write.
[[nodiscard]] bool writeAllAt(int fd, std::string_view data, off_t offset);

// Links the unnamed (O_TMPFILE) file into directory (a descriptor, or
// AT_FDCWD) under name; without the right to link by descriptor, through its
// /proc name. 0, or the errno value of the failed link.
[[nodiscard]] int linkUnnamed(int file, int directory, const std::string& name);

// Reads the file from its start to its end into text; false on a read error.
[[nodiscard]] bool readAll(int fd, std::string& text);

// The directory that holds path: "." for a bare name, "/" for one at the
// root.
[[nodiscard]] std::string directoryOf(const std::string& path);

// The last part of path: what follows its last slash.
[[nodiscard]] std::string nameOf(const std::string& path);

// Syncs the directory that holds path; false when that fails.
[[nodiscard]] bool syncDirectoryOf(const std::string& path);

} // namespace tasks
