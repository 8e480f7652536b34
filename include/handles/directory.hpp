#pragma once

// Owning handle of a directory listing (opendir): closed on every way out.

#include <dirent.h>

#include <memory>

struct DirectoryCloser
{
    void operator()(DIR* listing) const noexcept
    {
        ::closedir(listing);
    }
};

using DirectoryPtr = std::unique_ptr<DIR, DirectoryCloser>;
