// Writes one event log through the event-log library, with the event name,
// message id and arguments given on the command line.
//
//   event_probe <event name> <message id> [argument...]

#include "noterra/event_log.hpp"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        std::fputs("usage: event_probe <event> <message id> [arg...]\n",
                   stderr);
        return 2;
    }
    try
    {
        addEventLog(1, argv[1], argv[2],
                    std::vector<std::string>(argv + 3, argv + argc));
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
