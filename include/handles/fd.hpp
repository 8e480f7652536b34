#pragma once

// Owning handle of a POSIX file descriptor: closed on every way out.

#include <unistd.h>

#include <utility>

class UniqueFd
{
  public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd(fd)
    {}
    ~UniqueFd()
    {
        reset();
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1))
    {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
        {
            reset(std::exchange(other.fd, -1));
        }
        return *this;
    }

    int get() const noexcept
    {
        return fd;
    }
    bool valid() const noexcept
    {
        return fd >= 0;
    }
    // Closes the descriptor held so far and takes `adopted` instead.
    void reset(int adopted = -1) noexcept
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
        fd = adopted;
    }
    int release() noexcept
    {
        return std::exchange(fd, -1);
    }

  private:
    int fd = -1;
};
