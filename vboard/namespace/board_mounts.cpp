#include "board_mounts.hpp"

#include "control.hpp"
#include "report.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace vboard::init {

namespace {

// The PC's device nodes a program may have: they reach nothing of the
// PC's hardware (tty and ptmx: the terminal the run was started from, and
// new pseudo-terminals).
constexpr std::array<const char*, 7> harmless_nodes{"null", "zero", "full", "random", "urandom", "tty", "ptmx"};

void write_file(const char* path, const std::string& text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        fail_with_errno(std::string("cannot write ") + path + " for the board's user namespace");
    }
    close(fd);
}

// What the kernel said of a filesystem it would not make, from the
// filesystem context's log.
std::string context_log(int context)
{
    char text[256];
    const ssize_t n = read(context, text, sizeof text - 1);
    if (n <= 2) {
        return "";
    }
    text[n] = '\0';
    return std::string(" (") + (text + 2) + ")"; // "e message"
}

// A new filesystem of `type`, configured with `options` ("key=value" or
// "flag"), as a mount not yet attached anywhere.
int new_mount(const char* type, std::initializer_list<std::string> options, unsigned attributes)
{
    const int context = fsopen(type, FSOPEN_CLOEXEC);
    if (context < 0) {
        fail_with_errno(std::string("cannot make a ") + type + " filesystem for the board");
    }
    for (const std::string& option : options) {
        const auto equals = option.find('=');
        const int rc = equals == std::string::npos
                           ? fsconfig(context, FSCONFIG_SET_FLAG, option.c_str(), nullptr, 0)
                           : fsconfig(context, FSCONFIG_SET_STRING, option.substr(0, equals).c_str(),
                                      option.substr(equals + 1).c_str(), 0);
        if (rc != 0) {
            fail(std::string("the board's ") + type + " filesystem refuses " + option + ": " + std::strerror(errno) +
                 context_log(context));
        }
    }
    if (fsconfig(context, FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) {
        fail(std::string("cannot make the board's ") + type + " filesystem: " + std::strerror(errno) +
             context_log(context));
    }
    const int mount = fsmount(context, FSMOUNT_CLOEXEC, attributes);
    if (mount < 0) {
        fail_with_errno(std::string("cannot mount the board's ") + type + " filesystem");
    }
    close(context);
    return mount;
}

// A bind of `path` (below `directory`, a descriptor or AT_FDCWD) with the
// mounts below it, not yet attached anywhere. (In a user namespace the
// kernel binds a directory with the mounts below it or not at all: a bind
// without them would show what they cover.)
int clone_of(int directory, const char* path)
{
    const int clone = open_tree(directory, path, OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE);
    if (clone < 0) {
        fail_with_errno(std::string("cannot bind ") + path + " into the board");
    }
    return clone;
}

// Attaches a mount (a descriptor from new_mount or clone_of) at `target`,
// and lets the descriptor go.
void attach(int mount, const std::string& target)
{
    if (move_mount(mount, "", AT_FDCWD, target.c_str(), MOVE_MOUNT_F_EMPTY_PATH) != 0) {
        fail_with_errno("cannot mount the board's " + target);
    }
    close(mount);
}

void make(const std::string& path, mode_t mode, bool directory)
{
    const int rc = directory ? mkdir(path.c_str(), mode) : mknod(path.c_str(), S_IFREG | mode, 0);
    if (rc != 0) {
        fail_with_errno("cannot make the board's " + path);
    }
}

void link(const std::string& target, const std::string& path)
{
    if (symlink(target.c_str(), path.c_str()) != 0) {
        fail_with_errno("cannot make the board's " + path);
    }
}

// A socket the run listens on, bound at `path` for every user of the board.
void bind_socket(int fd, const char* path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || chmod(path, 0666) != 0) {
        fail_with_errno(std::string("cannot make the board's ") + path);
    }
}

// The clock page the run writes virtual time to: a page of the board's own
// /dev, so that no process outside the run can reach it.
void make_clock()
{
    const int fd = open(control::clock_path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
    if (fd < 0 || ftruncate(fd, 4096) != 0) {
        fail_with_errno(std::string("cannot make the board's clock ") + control::clock_path);
    }
    if (!report(control::Kind::clock, 0, 0, fd)) {
        _exit(125);
    }
    close(fd);
}

void mount_dev(int board, const std::vector<NodeName>& nodes)
{
    // Taken from the PC's /dev before the board's covers it.
    std::array<int, harmless_nodes.size()> harmless{};
    for (std::size_t i = 0; i < harmless_nodes.size(); ++i) {
        harmless[i] = clone_of(AT_FDCWD, (std::string("/dev/") + harmless_nodes[i]).c_str());
    }
    const int pts = clone_of(AT_FDCWD, "/dev/pts");
    // No device of the PC's can be opened through an inode made there
    // (mknod): the harmless ones below are binds, mounts of their own.
    attach(new_mount("tmpfs", {"mode=0755", "size=1m"}, MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOEXEC),
           "/dev");

    for (std::size_t i = 0; i < harmless_nodes.size(); ++i) {
        const std::string path = std::string("/dev/") + harmless_nodes[i];
        make(path, 0666, false);
        attach(harmless[i], path);
    }
    make("/dev/pts", 0755, true);
    attach(pts, "/dev/pts");
    make("/dev/shm", 01777, true);
    attach(new_mount("tmpfs", {"mode=1777"}, MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV), "/dev/shm");
    link("/proc/self/fd", "/dev/fd");
    link("/proc/self/fd/0", "/dev/stdin");
    link("/proc/self/fd/1", "/dev/stdout");
    link("/proc/self/fd/2", "/dev/stderr");

    make("/dev/char", 0755, true);
    for (const NodeName& node : nodes) {
        const std::string path = "/dev/" + node.name;
        make(path, 0600, false);
        attach(clone_of(board, ("dev/" + node.name).c_str()), path);
        link("../" + node.name, "/dev/char/" + std::to_string(node.major) + ":" + std::to_string(node.minor));
    }

    bind_socket(control::log_fd, "/dev/log");
    make(control::board_directory, 0755, true);
    bind_socket(control::channel_fd, control::channel_path);
    if (listen(control::channel_fd, 128) != 0) {
        fail_with_errno(std::string("cannot listen on ") + control::channel_path);
    }
    make_clock();
}

// The board's sysfs over a bind of the PC's: only /proc/mounts shows the
// bind (a "sysfs" mount at /sys, where i2c-tools and others look for
// sysfs); the board's covers everything of it.
void mount_sys(int board)
{
    attach(clone_of(AT_FDCWD, "/sys"), "/sys");
    attach(clone_of(board, "sys"), "/sys");
}

} // namespace

void enter_mount_namespace()
{
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            fail_with_errno("each program runs in namespaces of its own, and as a user other than root "
                            "that needs a user namespace, which this system refuses (as root: sysctl "
                            "user.max_user_namespaces=10000, or kernel.unprivileged_userns_clone=1 where the "
                            "kernel has it; or run vboard as root)");
        }
        // The user stays itself inside: the program runs with the user's
        // own ids, and the files it makes are the user's.
        write_file("/proc/self/setgroups", "deny");
        write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n");
        write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n");
    } else if (unshare(CLONE_NEWNS) != 0) {
        fail_with_errno("each program runs in a mount namespace of its own, which needs CAP_SYS_ADMIN "
                        "(in a container: docker run --cap-add SYS_ADMIN)");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fail_with_errno(errno == EINVAL ? "cannot keep the board's mounts to itself: / is no mount point here "
                                          "(in a chroot, bind its root onto itself first: mount --bind ROOT ROOT)"
                                        : "cannot keep the board's mounts to itself");
    }
}

void mount_board(const std::vector<NodeName>& nodes)
{
    const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) {
        fail_with_errno(errno == ENOENT ? "the board's filesystem needs FUSE, and /dev/fuse is missing: load the "
                                          "fuse module (modprobe fuse), or start the container with /dev/fuse "
                                          "(docker run --device /dev/fuse)"
                                        : "the board's filesystem needs FUSE, and /dev/fuse cannot be opened");
    }
    const int board = new_mount("fuse",
                                {"fd=" + std::to_string(fuse), "rootmode=40755", "user_id=" + std::to_string(geteuid()),
                                 "group_id=" + std::to_string(getegid()), "allow_other", "default_permissions"},
                                MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOEXEC);
    // The run serves it from now on; until it answers, whatever looks into
    // the filesystem waits.
    if (!report(control::Kind::fuse, 0, 0, fuse)) {
        _exit(125);
    }
    close(fuse);
    mount_dev(board, nodes);
    mount_sys(board);
    close(board);
}

} // namespace vboard::init
