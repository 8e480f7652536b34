#pragma once

// A private temporary directory for the tools, tests and fuzz targets that
// unwrap capsules away from the updater's fixed scratch area. It is removed
// with everything in it when the object ends.

#include "update/bios_image_context.hpp"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace capsule
{

class ScratchDirectory
{
  public:
    ScratchDirectory()
    {
        std::error_code error;
        std::string pattern = (std::filesystem::temp_directory_path(error) /
                               "capsule-scratch-XXXXXX")
                                  .string();
        if (!error && mkdtemp(pattern.data()) != nullptr)
        {
            root = pattern;
        }
    }
    ~ScratchDirectory()
    {
        if (!root.empty())
        {
            std::error_code ignored;
            std::filesystem::remove_all(root, ignored);
        }
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ScratchDirectory(ScratchDirectory&&) = delete;
    ScratchDirectory& operator=(ScratchDirectory&&) = delete;

    // False when no directory could be made.
    bool ready() const
    {
        return !root.empty();
    }

    // A path for a file beside (not inside) the scratch area.
    std::string file(const std::string& name) const
    {
        return root + "/" + name;
    }

    // The scratch area an image context unwraps in.
    update::ScratchArea area() const
    {
        return update::ScratchArea::in(file("biosscratchpad"));
    }

  private:
    std::string root;
};

} // namespace capsule
