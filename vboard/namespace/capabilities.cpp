#include "capabilities.hpp"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>

namespace vboard::init {

namespace {

// A container's default set, as container runtimes give their root: file
// ownership and permissions, users and groups, signals, raw sockets and low
// ports, chroot. Besides, what a bring-up program may ask of the scheduler
// and of its limits (real-time priority, locked memory, more open files),
// which act on its own processes. Everything else (CAP_SYS_ADMIN for
// mounts, CAP_MKNOD, CAP_SYS_MODULE, CAP_SYS_TIME, CAP_NET_ADMIN,
// CAP_SYS_RAWIO, CAP_SYS_BOOT, CAP_SYSLOG, CAP_DAC_READ_SEARCH for
// open_by_handle_at, ...) is the PC's kernel's to give.
constexpr std::array kept{
    CAP_CHOWN,    CAP_DAC_OVERRIDE, CAP_FOWNER,     CAP_FSETID,   CAP_KILL,
    CAP_SETGID,   CAP_SETUID,       CAP_SETPCAP,    CAP_SETFCAP,  CAP_NET_BIND_SERVICE,
    CAP_NET_RAW,  CAP_SYS_CHROOT,   CAP_AUDIT_WRITE,
    CAP_SYS_NICE, CAP_SYS_RESOURCE, CAP_IPC_LOCK,
};

constexpr std::uint64_t kept_mask()
{
    std::uint64_t mask = 0;
    for (const int capability : kept) {
        mask |= std::uint64_t{1} << capability;
    }
    return mask;
}

} // namespace

bool keep_container_capabilities()
{
    // The bounding set first, while CAP_SETPCAP is still effective; the
    // kernel may know capabilities this header does not: up to the first it
    // calls invalid.
    for (int capability = 0; capability < 64; ++capability) {
        if ((kept_mask() >> capability & 1) == 0 && prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
            if (errno == EINVAL) {
                break;
            }
            return false;
        }
    }
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
    if (syscall(SYS_capget, &header, data.data()) != 0) {
        return false;
    }
    for (std::size_t word = 0; word < data.size(); ++word) {
        const auto mask = static_cast<std::uint32_t>(kept_mask() >> (32 * word));
        data[word].effective &= mask;
        data[word].permitted &= mask;
        data[word].inheritable &= mask;
    }
    return syscall(SYS_capset, &header, data.data()) == 0;
}

} // namespace vboard::init
