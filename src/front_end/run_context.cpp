#include "front_end/run_context.hpp"

namespace front_end
{

const bus::Connection& RunContext::bus()
{
    if (!connection)
    {
        connection.emplace(bus::Connection::systemDefault());
    }
    return *connection;
}

} // namespace front_end
