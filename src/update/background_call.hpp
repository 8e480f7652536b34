#pragma once

// File work that the update need not wait for, done on a thread of its own
// while the update goes on (a BMC has two cores, and the decompressor keeps
// only one of them busy).
//
// Threads are made with pthread_create: no allocation of the updater's own,
// nothing thrown. Each call is waited for when asked, and at the latest when
// its owner ends.

#include "handles/fd.hpp"

#include <pthread.h>

#include <array>
#include <cstddef>

namespace update
{

class BackgroundCall
{
  public:
    using Call = int (*)(int);

    BackgroundCall() = default;
    ~BackgroundCall();
    BackgroundCall(const BackgroundCall&) = delete;
    BackgroundCall& operator=(const BackgroundCall&) = delete;
    BackgroundCall(BackgroundCall&&) = delete;
    BackgroundCall& operator=(BackgroundCall&&) = delete;

    // Starts call(file) on a thread of its own; file must stay open until
    // wait(). False, with nothing started, when a call is running already or
    // no thread can be had.
    bool start(Call call, int file) noexcept;

    // Waits for the call started: 0 when it succeeded or none was started,
    // else the errno it failed with.
    int wait() noexcept;

    // True from a start until the wait for it.
    bool running() const noexcept;

  private:
    static void* run(void* self) noexcept;

    Call work = nullptr;
    int fd = -1;
    int error = 0;
    pthread_t thread{};
    bool started = false;
};

// Gives the storage of removed files back while the update goes on.
// Removing a large file frees its blocks in the call that drops its last
// name (tens of milliseconds for a capsule); while a descriptor still holds
// the file, that work moves to the descriptor's last close, which this does
// on a thread of its own.
class LateRelease
{
  public:
    // Closes file on a thread of its own, or here and now when all are
    // busy.
    void release(UniqueFd file) noexcept;

  private:
    static constexpr std::size_t threads = 4;
    std::array<BackgroundCall, threads> closing;
};

} // namespace update
