#pragma once

// Owning handle of a C stdio stream: closed on every way out.

#include <cstdio>
#include <memory>

struct FileCloser
{
    void operator()(std::FILE* file) const noexcept
    {
        std::fclose(file);
    }
};

using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
