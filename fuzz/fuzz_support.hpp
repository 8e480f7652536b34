#pragma once

// Helpers shared by the fuzz targets and their seed builders.

#include "handles/stdio.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz
{

// A read stream over a memory file holding the bytes, at its start; null on
// failure.
inline FilePtr memoryStream(const std::uint8_t* data, std::size_t size)
{
    const int fd = memfd_create("fuzz-input", 0);
    if (fd < 0)
    {
        return nullptr;
    }
    std::size_t written = 0;
    while (written < size)
    {
        const ssize_t n = write(fd, data + written, size - written);
        if (n <= 0)
        {
            close(fd);
            return nullptr;
        }
        written += static_cast<std::size_t>(n);
    }
    FilePtr stream(lseek(fd, 0, SEEK_SET) == 0 ? fdopen(fd, "rb") : nullptr);
    if (!stream)
    {
        close(fd);
    }
    return stream;
}

// Sends what the product prints on standard output (the task-list reader's
// complaints, the capsule tool's reports) to /dev/null, so that a long run's
// log stays readable.
inline void quietStandardOutput()
{
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
    {
        std::abort();
    }
}

// Sends the product's failure and information lines (written to the C
// stream stderr) to /dev/null, so that a long run's log holds libFuzzer's
// own lines. libFuzzer keeps the stream it took at start-up, and the
// sanitizers write to descriptor 2 directly: neither is silenced.
inline void quietProductLines()
{
    std::FILE* sink = std::fopen("/dev/null", "w");
    if (sink == nullptr)
    {
        std::abort();
    }
    stderr = sink; // NOLINT(cppcoreguidelines-owning-memory)
}

// Writes one seed file into directory; false on failure.
inline bool writeSeed(const std::string& directory, const std::string& name,
                      std::string_view bytes)
{
    const std::string path = directory + "/" + name;
    const FilePtr file(std::fopen(path.c_str(), "wb"));
    return file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) ==
                       bytes.size();
}

} // namespace fuzz
