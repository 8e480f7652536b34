#pragma once

// The steps of the decompressor's confinement that the child takes, each
// returning 0 when done and the errno value of the call that failed
// otherwise. They run in a forked child only; none of them throws, and none
// calls a function that the tests' fault shim counts as a file step.

#include "update/confinement.hpp"

#include <sys/types.h>

namespace update::confinement
{

// A mount namespace of its own, whose root is a read-only tmpfs holding the
// decompressor, the shared-library directories (read-only) and the scratch
// directory (writable, no executables, no devices), each at its own path.
int enterMinimalRoot(const Plan& plan);

// Empties the capability bounding set and the ambient set.
int dropCapabilityBounds();

// Becomes `uid`:`gid` with no supplementary groups.
int becomeUser(uid_t uid, gid_t gid);

// Clears the effective, permitted and inheritable capabilities, and checks
// that none is left.
int clearCapabilities();

// Installs the allow-list of system calls; `self` is the only process the
// decompressor may signal.
int installSyscallFilter(pid_t self);

} // namespace update::confinement
