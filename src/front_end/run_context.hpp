#pragma once

// What one run of the updater shares among its steps, built once in main
// and handed to the sub-command it runs.

#include "bus/bus.hpp"
#include "paths.hpp"

#include <optional>

namespace front_end
{

class RunContext
{
  public:
    explicit RunContext(paths::Paths paths);

    // The run's one connection to the system bus, made at its first use
    // and kept until the run ends: every bus exchange of the run goes
    // through it. When connecting failed, the first step that uses it fails
    // naming why (bus.hpp), and so does every later one.
    const bus::Connection& bus();

    // Where the run's files are.
    const paths::Paths& paths() const noexcept;

  private:
    paths::Paths files;
    std::optional<bus::Connection> connection;
};

} // namespace front_end
