#include "update/confinement_steps.hpp"

#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace update::confinement
{
namespace
{

int lastError()
{
    return errno != 0 ? errno : EPERM;
}

// The kernel's capability sets, in the layout of its third version.
using CapabilitySets = std::array<__user_cap_data_struct, 2>;

} // namespace

int dropCapabilityBounds()
{
    errno = 0;
    // The kernel knows capabilities up to the first one it refuses to read.
    for (unsigned long capability = 0;
         prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0; ++capability)
    {
        if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0)
        {
            return lastError();
        }
    }
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 &&
        errno != EINVAL)
    {
        return lastError();
    }
    return 0;
}

int becomeUser(uid_t uid, gid_t gid)
{
    errno = 0;
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0)
    {
        return lastError();
    }
    return 0;
}

int clearCapabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    CapabilitySets sets{};
    errno = 0;
    if (syscall(SYS_capset, &header, sets.data()) != 0 ||
        syscall(SYS_capget, &header, sets.data()) != 0)
    {
        return lastError();
    }
    for (const __user_cap_data_struct& set : sets)
    {
        if (set.effective != 0 || set.permitted != 0 || set.inheritable != 0)
        {
            return EPERM;
        }
    }
    return 0;
}

} // namespace update::confinement
