#include "capsule_tool/stderr_capture.hpp"

#include "diag.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <utility>

namespace capsule_tool
{
namespace
{

constexpr int standardError = STDERR_FILENO;

bool isUpdaterLine(const std::string& line)
{
    return line.rfind(diag::failPrefix, 0) == 0 ||
           line.rfind(diag::infoPrefix, 0) == 0;
}

// Everything in the file from its start; what a failed read leaves out is
// lost.
std::string readAll(int fd)
{
    std::string text;
    if (lseek(fd, 0, SEEK_SET) != 0)
    {
        return text;
    }
    std::array<char, 4096> buffer{};
    ssize_t count = 0;
    while ((count = read(fd, buffer.data(), buffer.size())) > 0)
    {
        text.append(buffer.data(), static_cast<std::size_t>(count));
    }
    return text;
}

} // namespace

StderrCapture::StderrCapture() :
    memory(memfd_create("capsule-tool-stderr", MFD_CLOEXEC))
{
    if (!memory.valid())
    {
        return;
    }
    // What cannot be flushed now cannot be told on standard error either.
    static_cast<void>(std::fflush(stderr));
    saved.reset(fcntl(standardError, F_DUPFD_CLOEXEC, standardError + 1));
    if (saved.valid() && dup2(memory.get(), standardError) < 0)
    {
        saved.reset();
    }
}

StderrCapture::~StderrCapture()
{
    restore();
}

std::string StderrCapture::finish()
{
    restore();
    return memory.valid() ? readAll(memory.get()) : std::string();
}

void StderrCapture::restore() noexcept
{
    if (saved.valid())
    {
        static_cast<void>(std::fflush(stderr)); // as in the constructor
        // Should this fail there is no standard error left to say so on.
        static_cast<void>(dup2(saved.get(), standardError));
        saved.reset();
    }
}

CapturedOutput splitCaptured(const std::string& text)
{
    CapturedOutput output;
    std::size_t start = 0;
    while (start < text.size())
    {
        const std::size_t newline = text.find('\n', start);
        const std::size_t end =
            newline == std::string::npos ? text.size() : newline + 1;
        std::string line = text.substr(start, end - start);
        if (isUpdaterLine(line))
        {
            if (line.back() == '\n')
            {
                line.pop_back();
            }
            output.updaterLines.push_back(std::move(line));
        }
        else
        {
            output.otherOutput += line;
        }
        start = end;
    }
    return output;
}

} // namespace capsule_tool
