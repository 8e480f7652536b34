#include "front_end/run_context.hpp"

#include <utility>

namespace front_end
{

RunContext::RunContext(paths::Paths paths) : files(std::move(paths))
{}

const bus::Connection& RunContext::bus()
{
    if (!connection)
    {
        connection.emplace(bus::Connection::systemDefault());
    }
    return *connection;
}

const paths::Paths& RunContext::paths() const noexcept
{
    return files;
}

} // namespace front_end
