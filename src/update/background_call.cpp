#include "update/background_call.hpp"

#include <cerrno>

namespace update
{

BackgroundCall::~BackgroundCall()
{
    static_cast<void>(wait());
}

bool BackgroundCall::start(Call call, int file) noexcept
{
    if (started)
    {
        return false;
    }
    work = call;
    fd = file;
    error = 0;
    started =
        ::pthread_create(&thread, nullptr, &BackgroundCall::run, this) == 0;
    return started;
}

int BackgroundCall::wait() noexcept
{
    if (!started)
    {
        return 0;
    }
    static_cast<void>(::pthread_join(thread, nullptr));
    started = false;
    return error;
}

bool BackgroundCall::running() const noexcept
{
    return started;
}

void* BackgroundCall::run(void* self) noexcept
{
    auto* call = static_cast<BackgroundCall*>(self);
    call->error = call->work(call->fd) == 0 ? 0 : errno;
    return nullptr;
}

void LateRelease::release(UniqueFd file) noexcept
{
    if (!file.valid())
    {
        return;
    }
    for (BackgroundCall& call : closing)
    {
        if (!call.running() && call.start(&::close, file.get()))
        {
            static_cast<void>(file.release());
            return;
        }
    }
}

} // namespace update
