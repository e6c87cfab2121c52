// The board at the kernel's boundary: each run in namespaces of its own,
// whose /dev and /sys are the board's, served through the kernel's VFS. A
// program meets the kernel's own rules whatever way it reaches a file, and
// nothing of the PC's, and nothing of the run outlives it.

#include "board.hpp"
#include "board_support.hpp"
#include "child_process.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace vboard;

const std::string python = "/usr/bin/python3";

RunResult run(std::vector<std::string> argv, BoardConfig config = {}, RunOptions options = {})
{
    options.argv = std::move(argv);
    options.timeout = std::chrono::seconds(60);
    Board board(std::move(config));
    return board.run(options);
}

// Python that turns the ADC's buffer on for channel 6 (sampling at 1 kHz),
// then opens its node.
const std::string adc_buffer_on = "import os, select, time\n"
                                  "adc = '/sys/bus/iio/devices/iio:device0/'\n"
                                  "open(adc + 'scan_elements/in_voltage6_en', 'w').write('1')\n"
                                  "open(adc + 'buffer/enable', 'w').write('1')\n";

// Waits for a scan one way, reads it, and says how much virtual time that took.
std::string adc_wait(const std::string& how)
{
    return adc_buffer_on + "fd = os.open('/dev/iio:device0', os.O_RDONLY)\n"
                           "start = time.monotonic()\n" +
           how +
           "scan = os.read(fd, 2)\n"
           "print(int.from_bytes(scan, 'little'), round(time.monotonic() - start, 6))\n";
}

struct KernelRule {
    const char* name;
    std::vector<std::string> argv;
    BoardConfig config;
    std::string out;
    bool any_order = false; // the lines may come in any order (two processes)
};

void PrintTo(const KernelRule& c, std::ostream* os) { *os << c.name; }

BoardConfig peer(SpiPeer::Kind kind, std::vector<std::uint8_t> reply = {})
{
    BoardConfig config;
    config.spi = SpiPeer{kind, std::move(reply)};
    return config;
}

BoardConfig channel_6(const std::string& value)
{
    BoardConfig config;
    config.adc[6] = {value};
    return config;
}

class KernelRules : public testing::TestWithParam<KernelRule> {};

TEST_P(KernelRules, AreTheProgramsWhateverWayItGoes)
{
    const auto& c = GetParam();
    const auto r = run(c.argv, c.config);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    if (c.any_order) {
        auto lines = lines_of(r.out);
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines, lines_of(c.out));
    } else {
        EXPECT_EQ(r.out, c.out);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boundary, KernelRules,
    testing::Values(
        // Two processes on one open file, after fork(): their calls never cross.
        KernelRule{"fork_shared_spidev", {BOUNDARY_PROBE_PATH, "fork-spi", "1000"}, {}, "child 0\nparent 0\n", true},
        // spidev copies every transmit buffer in before the message and the
        // receive buffers out after it: in place, what comes back is MISO's.
        KernelRule{"in_place_spi_silent", {BOUNDARY_PROBE_PATH, "in-place-spi"}, peer(SpiPeer::Kind::silent),
                   "in-place 4 ffffffff\n"},
        KernelRule{"in_place_spi_reply", {BOUNDARY_PROBE_PATH, "in-place-spi"},
                   peer(SpiPeer::Kind::reply, {0xa1, 0xb2}), "in-place 4 a1b2ffff\n"},
        // i2c-dev copies each message in before the transaction: the read
        // gets the port's pins (the display drives its busy flag on D7),
        // not the byte written.
        KernelRule{"shared_i2c_buffer", {BOUNDARY_PROBE_PATH, "shared-i2c"}, {}, "shared 2 86\n"},
        // The daemon's idiom, closing every descriptor: pauses still count
        // in virtual time, and the number the board's channel had is the
        // program's own again.
        KernelRule{"closerange_then_a_pause",
                   {python, "-c",
                    "import os, time\n"
                    "time.sleep(0.5)\n"
                    "os.closerange(3, 256)\n"
                    "start = time.monotonic(); time.sleep(1); print(round(time.monotonic() - start, 6))\n"},
                   {}, "1.0\n"},
        KernelRule{"channel_number_reused",
                   {python, "-c",
                    "import os, select, socket, time\n"
                    "time.sleep(0.5)\n"
                    "os.closerange(3, 256)\n"
                    "a, b = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)\n"
                    "time.sleep(0.5)\n"
                    "print(a.fileno(), select.select([b], [], [], 0)[0] == [])\n"},
                   {}, "3 True\n"},
        KernelRule{"close_range_on_a_node_then_pipe",
                   {python, "-c",
                    "import os\n"
                    "fd = os.open('/dev/i2c-0', os.O_RDWR)\n"
                    "os.closerange(fd, fd + 1)\n"
                    "r, w = os.pipe()\n"
                    "print(r == fd, os.write(w, b'x'), os.read(r, 1))\n"},
                   {}, "True 1 b'x'\n"},
        // i2c-dev and spidev have no poll(): always ready, as the kernel says.
        KernelRule{"select_on_i2c",
                   {python, "-c",
                    "import os, select\n"
                    "fd = os.open('/dev/i2c-0', os.O_RDWR)\n"
                    "print(select.select([fd], [fd], [], 0)[:2] == ([fd], [fd]))\n"},
                   {}, "True\n"},
        KernelRule{"poll_of_more_than_64",
                   {python, "-c",
                    "import os, select\n"
                    "p = select.poll()\n"
                    "for _ in range(100):\n"
                    "    p.register(os.pipe()[0], select.POLLIN)\n"
                    "fd = os.open('/dev/spidev3.0', os.O_RDWR)\n"
                    "p.register(fd, select.POLLOUT)\n"
                    "print(p.poll(0) == [(fd, select.POLLOUT)])\n"},
                   {}, "True\n"},
        // The ADC's buffer is readable once a scan is due: a program that
        // waits for one waits in virtual time, 1 ms at 1 kHz.
        KernelRule{"select_on_the_adc_buffer",
                   {python, "-c", adc_wait("select.select([fd], [], [], 10)\n")}, channel_6("1234"), "1234 0.001\n"},
        KernelRule{"poll_on_the_adc_buffer",
                   {python, "-c", adc_wait("p = select.poll(); p.register(fd, select.POLLIN); p.poll(10000)\n")},
                   channel_6("1234"), "1234 0.001\n"},
        KernelRule{"epoll_on_the_adc_buffer",
                   {python, "-c", adc_wait("e = select.epoll(); e.register(fd, select.EPOLLIN); e.poll(10)\n")},
                   channel_6("1234"), "1234 0.001\n"},
        KernelRule{"nonblocking_adc_buffer",
                   {python, "-c",
                    adc_buffer_on + "fd = os.open('/dev/iio:device0', os.O_RDONLY | os.O_NONBLOCK)\n"
                                    "try:\n"
                                    "    os.read(fd, 2)\n"
                                    "except BlockingIOError:\n"
                                    "    print('EAGAIN')\n"},
                   channel_6("1234"), "EAGAIN\n"},
        // Every way into a node: readv(), raw system calls, pread() (which
        // i2c-dev allows), and what the VFS itself answers.
        KernelRule{"file_operations_on_i2c",
                   {python, "-c",
                    "import ctypes, fcntl, os, termios\n"
                    "fd = os.open('/dev/i2c-0', os.O_RDWR)\n"
                    "libc = ctypes.CDLL(None, use_errno=True)\n"
                    "print(libc.syscall(16, fd, 0x0703, 0x27))\n" // SYS_ioctl, I2C_SLAVE
                    "b = bytearray(1)\n"
                    "print(os.readv(fd, [b]), b.hex())\n"
                    "buffer = ctypes.create_string_buffer(1)\n"
                    "print(libc.syscall(0, fd, buffer, 1), buffer.raw.hex())\n" // SYS_read
                    "print(os.pread(fd, 1, 100).hex())\n"
                    "fcntl.ioctl(fd, termios.FIOCLEX)\n"
                    "print(fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC)\n"
                    "fcntl.ioctl(fd, termios.FIONBIO, b'\\x01\\x00\\x00\\x00')\n"
                    "print(fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_NONBLOCK != 0)\n"},
                   {}, "0\n1 ff\n1 ff\nff\n1\nTrue\n"},
        KernelRule{"spidev_is_a_stream",
                   {python, "-c",
                    "import errno, os\n"
                    "fd = os.open('/dev/spidev3.0', os.O_RDWR)\n"
                    "try:\n"
                    "    os.pread(fd, 1, 0)\n"
                    "except OSError as e:\n"
                    "    print(errno.errorcode[e.errno])\n"},
                   {}, "ESPIPE\n"},
        KernelRule{"access_modes_and_open_flags",
                   {python, "-c",
                    "import errno, os\n"
                    "def attempt(f):\n"
                    "    try:\n"
                    "        f(); print('done')\n"
                    "    except OSError as e:\n"
                    "        print(errno.errorcode[e.errno])\n"
                    "fd = os.open('/dev/i2c-0', os.O_RDONLY)\n"
                    "attempt(lambda: os.write(fd, b'\\x08'))\n"
                    "attempt(lambda: os.open('/dev/i2c-0', os.O_RDWR | os.O_CREAT | os.O_EXCL))\n"
                    "attempt(lambda: os.open('/dev/i2c-0', os.O_RDONLY | os.O_DIRECTORY))\n"},
                   {}, "EBADF\nEEXIST\nENOTDIR\n"},
        // Out of reach: the PC's sysfs above the board's, its nodes through
        // a link elsewhere or a file action of posix_spawn.
        KernelRule{"pc_out_of_reach",
                   {python, "-c",
                    "import errno, os, tempfile\n"
                    "def attempt(f):\n"
                    "    try:\n"
                    "        f(); print('reached')\n"
                    "    except OSError as e:\n"
                    "        print(errno.errorcode[e.errno])\n"
                    "attempt(lambda: open('/sys/../../../../sys/class/net/lo/address'))\n"
                    "attempt(lambda: os.open('/sys/power/state', os.O_WRONLY))\n"
                    "link = tempfile.mktemp()\n"
                    "os.symlink('/dev/kmsg', link)\n"
                    "attempt(lambda: open(link))\n"
                    "os.unlink(link)\n"
                    "attempt(lambda: os.posix_spawn('/bin/true', ['true'], {},\n"
                    "        file_actions=[(os.POSIX_SPAWN_OPEN, 3, '/dev/loop0', os.O_RDONLY, 0)]))\n"},
                   {}, "ENOENT\nENOENT\nENOENT\nENOENT\n"},
        // Root on the board has a container's capabilities: what a board's
        // start-up script does with the others (mount sysfs or devtmpfs,
        // unmount the board's /sys or /proc, make a device node, set a
        // sysctl or the clock) would act on the PC's kernel, and is refused.
        KernelRule{"root_keeps_to_the_board",
                   {python, "-c",
                    "import ctypes, errno, os, stat, tempfile, time\n"
                    "libc = ctypes.CDLL(None, use_errno=True)\n"
                    "def call(rc):\n"
                    "    print(errno.errorcode[ctypes.get_errno()] if rc != 0 else 'done')\n"
                    "def attempt(f):\n"
                    "    try:\n"
                    "        f(); print('done')\n"
                    "    except OSError as e:\n"
                    "        print(errno.errorcode[e.errno])\n"
                    "call(libc.mount(b'sysfs', b'/sys', b'sysfs', 0, None))\n"
                    "call(libc.mount(b'devtmpfs', b'/dev', b'devtmpfs', 0, None))\n"
                    "call(libc.umount2(b'/sys', 2))\n"
                    "call(libc.umount2(b'/proc', 2))\n"
                    "attempt(lambda: os.mknod(tempfile.mktemp(), stat.S_IFCHR | 0o600, os.makedev(1, 11)))\n"
                    "attempt(lambda: open('/proc/sys/vm/drop_caches', 'w').write('1'))\n"
                    "attempt(lambda: time.clock_settime(time.CLOCK_REALTIME, time.time()))\n"
                    "bounding = int(next(l for l in open('/proc/self/status') if l.startswith('CapBnd')).split()[1], 16)\n"
                    "print('CAP_SYS_ADMIN' if bounding >> 21 & 1 else 'no CAP_SYS_ADMIN')\n"},
                   {}, "EPERM\nEPERM\nEPERM\nEPERM\nEPERM\nEROFS\nEPERM\nno CAP_SYS_ADMIN\n"},
        // A program leaking node descriptors meets its own limit.
        KernelRule{"leaked_node_descriptors",
                   {python, "-c",
                    "import os, resource\n"
                    "resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))\n"
                    "n = 0\n"
                    "try:\n"
                    "    while True:\n"
                    "        os.open('/dev/i2c-0', os.O_RDWR); n += 1\n"
                    "except OSError as e:\n"
                    "    print(e.errno == 24, n > 1000)\n"},
                   {}, "True True\n"},
        KernelRule{"i2cdetect_lists_the_adapter", {"/usr/sbin/i2cdetect", "-l"}, {},
                   "i2c-0\ti2c       \tAT91                            \tI2C adapter\n"}),
    [](const testing::TestParamInfo<KernelRule>& param) { return std::string(param.param.name); });

// Relative paths, openat() from /dev, udev's /dev/char links and a reopen
// through /proc/self/fd all reach the board's nodes, each a new open file.
TEST(Boundary, EveryPathToANodeReachesIt)
{
    const auto r = run({python, "-c",
                        "import fcntl, os\n"
                        "os.chdir('/dev')\n"
                        "os.open('spidev0.0', os.O_RDWR)\n"
                        "os.open('spidev3.0', os.O_RDWR, dir_fd=os.open('/dev', os.O_RDONLY))\n"
                        "c = os.open('/dev/char/89:0', os.O_RDWR)\n"
                        "again = os.open('/proc/self/fd/%d' % c, os.O_RDWR)\n"
                        "print(fcntl.ioctl(again, 0x0703, 0x27), os.write(again, b'\\x08'))\n"});
    EXPECT_EQ(r.out, "0 1\n");
    EXPECT_EQ(r.err, "");
    std::vector<std::string> opened;
    for (const auto& f : all_of<FileEvent>(r.events)) {
        if (f.op == FileEvent::Op::open && f.path.rfind("/dev/", 0) == 0) {
            opened.push_back(f.path);
        }
    }
    EXPECT_EQ(opened, (std::vector<std::string>{"/dev/spidev0.0", "/dev/spidev3.0", "/dev/i2c-0", "/dev/i2c-0"}));
    const auto writes = all_of<I2cWrite>(r.events);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].addr, 0x27);
}

// A SIGINT handler that writes to a node, landing while the program is in
// a call of its own on the node: both are calls of the kernel's, and the
// handler's goes through.
TEST(Boundary, ASignalHandlerMayUseANode)
{
    RunOptions options;
    options.sigint_when = [](const std::vector<Event>& events) { return all_of<I2cWrite>(events).size() >= 50; };
    const auto r = run({BOUNDARY_PROBE_PATH, "handler-write"}, {}, options);
    EXPECT_EQ(r.out, "handled\n");
    EXPECT_EQ(r.exit_code, 0);
}

// The whole of a file of /proc, or "" if its process has gone meanwhile.
std::string proc_file(const std::string& path)
{
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[4096];
    for (ssize_t n = 0; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    if (fd >= 0) {
        close(fd);
    }
    return text;
}

// Whether any process of the PC's (but a zombie) has `marker` among its arguments.
bool any_process_with(const std::string& marker)
{
    DIR* proc = opendir("/proc");
    bool found = false;
    while (const dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || std::to_string(getpid()) == pid) {
            continue;
        }
        const std::string stat = proc_file("/proc/" + pid + "/stat");
        const auto state = stat.find(") ");
        const bool zombie = state == std::string::npos || stat[state + 2] == 'Z';
        found = found || (!zombie && proc_file("/proc/" + pid + "/cmdline").find(marker) != std::string::npos);
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return found;
}

// Waits (up to 5 s) for the processes that mention `marker` to have ended:
// true if they have.
bool all_gone(const std::string& marker)
{
    for (int i = 0; i < 500; ++i) {
        if (!any_process_with(marker)) {
            return true;
        }
        usleep(10000);
    }
    return false;
}

struct Leftover {
    const char* name;
    std::string script;
};

void PrintTo(const Leftover& c, std::ostream* os) { *os << c.name; }

class Leftovers : public testing::TestWithParam<Leftover> {};

// A daemon that detached itself and a background job that holds the
// program's standard error end with the program, as a container's
// processes do; the record says how many there were.
TEST_P(Leftovers, EndWithTheRun)
{
    const std::string marker = "vboard-leftover-" + std::to_string(getpid());
    const auto r = run({"/bin/sh", "-c", GetParam().script, marker});
    EXPECT_EQ(r.out, "started\n");
    EXPECT_EQ(r.exit_code, 0);
    const auto program = all_of<ProgramEvent>(r.events);
    ASSERT_FALSE(program.empty());
    EXPECT_EQ(program.back().kind, ProgramEvent::Kind::exit);
    EXPECT_GE(program.back().processes_ended, 1);
    EXPECT_FALSE(any_process_with(marker));
}

INSTANTIATE_TEST_SUITE_P(
    Boundary, Leftovers,
    testing::Values(Leftover{"setsid_daemon", "setsid " + python + " -c 'import signal; signal.pause()' \"$0\" "
                                              "</dev/null >/dev/null 2>&1 & echo started"},
                    Leftover{"background_job_holding_stderr", "cat /dev/zero > /dev/null & echo started; : \"$0\""}),
    [](const testing::TestParamInfo<Leftover>& param) { return std::string(param.param.name); });

// Another run's clock and channel are out of a program's reach: its /proc
// shows its own run's processes only, and nothing of a board is left on
// the PC's files.
TEST(Boundary, RunsKeepTheirClocksApart)
{
    const std::string marker = "vboard-other-run-" + std::to_string(getpid());
    auto other = test_support::start_child({VBOARD_COMMAND_PATH, "run", "--quiet", "--speed", "1", "--", DEVPROBE_PATH,
                                            "print", marker, "ticks", "100", "1000000"});
    std::string seen;
    ASSERT_TRUE(test_support::read_until(other.out, seen, "tick 0\n")) << seen;
    const auto r = run({python, "-c",
                        "import glob, os\n"
                        "others = [p for p in os.listdir('/proc') if p.isdigit() and int(p) > 100]\n"
                        "print(others == [], os.path.exists('/dev/.vboard/clock'))\n"
                        "found = glob.glob('/proc/*/root/dev/.vboard/clock') + glob.glob('/dev/shm/vboard*')"
                        " + glob.glob('/tmp/vboard.*')\n"
                        "mine = ('/proc/self/', '/proc/thread-self/', '/proc/1/', '/proc/%d/' % os.getpid())\n"
                        "print([f for f in found if not f.startswith(mine)])\n"});
    EXPECT_EQ(r.out, "True True\n[]\n") << r.err;
    kill(other.pid, SIGKILL);
    test_support::finish_child(other, seen);
    EXPECT_TRUE(all_gone(marker));
}

struct Refusal {
    const char* name;
    std::string script; // bash's, with $V the vboard command
    std::string said;   // the start of vboard's message
};

// Where the system refuses what the board needs, vboard says what is
// missing and what to do, with 125, and runs nothing.
TEST(Boundary, ASystemWithoutWhatTheBoardNeedsIsTold)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "taking a capability or /dev/fuse away needs root";
    }
    // The PC's /dev without fuse: its harmless nodes bound onto a tmpfs.
    const std::string without_fuse =
        "d=$(mktemp -d); unshare -m bash -c 'mount --make-rprivate / && mount --rbind /dev \"$0\" && "
        "mount -t tmpfs tmpfs /dev && for n in null zero full random urandom tty ptmx; do touch /dev/$n && "
        "mount --bind \"$0/$n\" /dev/$n; done && mkdir /dev/pts && mount --bind \"$0/pts\" /dev/pts && "
        "exec \"$1\" run -q -- /bin/echo ran' \"$d\" \"$V\"; status=$?; rmdir \"$d\"; exit $status";
    const std::vector<Refusal> cases{
        {"no CAP_SYS_ADMIN", "setpriv --bounding-set=-sys_admin --inh-caps=-sys_admin -- \"$V\" run -q -- /bin/echo ran",
         "vboard: each program runs in a mount namespace of its own, which needs CAP_SYS_ADMIN"},
        {"no /dev/fuse", without_fuse, "vboard: the board's filesystem needs FUSE, and /dev/fuse is missing"},
    };
    for (const Refusal& c : cases) {
        const auto r = test_support::run_child({"/bin/bash", "-c", "V=\"$0\"; " + c.script, VBOARD_COMMAND_PATH}, "");
        EXPECT_EQ(r.exit_code, 125) << c.name << ": " << r.err;
        EXPECT_EQ(r.err.rfind(c.said, 0), 0u) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.name;
    }
}

// A statically linked program, which no preload reaches, sees the board's
// /dev and nothing of the PC's, and drives its bus.
TEST(Boundary, AStaticProgramSeesOnlyTheBoard)
{
    const auto r = run({STATIC_PROBE_PATH});
    EXPECT_EQ(r.out, "/dev: char fd full i2c-0 iio:device0 log null ptmx pts random shm spidev0.0 spidev3.0 stderr "
                     "stdin stdout tty urandom zero\n"
                     "/dev/sda No such file or directory\n"
                     "/dev/kmsg No such file or directory\n"
                     "/sys/class/net/lo No such file or directory\n"
                     "/sys/power/state No such file or directory\n"
                     "i2c-0: open OK, address 0, write 1\n");
    const auto writes = all_of<I2cWrite>(r.events);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes, Bytes{0x08});
}

// Debian's static busybox: its i2c applets on the board's bus, the
// display answering at 0x27 and latching a frame (a clear display,
// 0c 08 1c 18, to a controller already in 4-bit mode).
TEST(Boundary, StaticBusyboxDrivesTheDisplay)
{
    const auto detect = run({"/bin/busybox", "i2cdetect", "-y", "0"});
    EXPECT_NE(detect.out.find("20: -- -- -- -- -- -- -- 27 --"), std::string::npos) << detect.out;
    EXPECT_EQ(detect.exit_code, 0) << detect.err;
    BoardConfig config;
    config.lcd_start = Hd44780::Start::four_bit;
    const auto transfer = run({"/bin/busybox", "i2ctransfer", "-y", "0", "w4@0x27", "0x0c", "0x08", "0x1c", "0x18"}, config);
    EXPECT_EQ(transfer.exit_code, 0) << transfer.err;
    const auto ops = all_of<LcdOperation>(transfer.events);
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].kind, LcdOperation::Kind::instruction);
    EXPECT_EQ(ops[0].value, 0x01);
}

// The PC's mounts, as this process sees them.
std::string mount_table()
{
    return proc_file("/proc/self/mountinfo");
}

// SIGKILL of vboard at any moment of a run (setting the board up, a
// program and a daemon of its running, the run ending) leaves no mount,
// no file and no process behind: the namespaces go with their processes.
TEST(Boundary, KilledVboardLeavesNothingBehind)
{
    const std::string before = mount_table();
    const std::string marker = "vboard-killed-" + std::to_string(getpid());
    const std::string script = "setsid " + python + " -c 'import signal; signal.pause()' \"$0\" </dev/null "
                               ">/dev/null 2>&1 & while :; do i2cset -y 0 0x27 0x08; done";
    const std::filesystem::path scratch =
        std::filesystem::temp_directory_path() / ("vboard-killed-" + std::to_string(getpid()));
    std::filesystem::create_directories(scratch);
    std::mt19937 random(static_cast<unsigned>(getpid()));
    for (int kill_number = 0; kill_number < 50; ++kill_number) {
        const pid_t vboard = fork();
        ASSERT_GE(vboard, 0);
        if (vboard == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            setenv("TMPDIR", scratch.c_str(), 1);
            execl(VBOARD_COMMAND_PATH, VBOARD_COMMAND_PATH, "run", "--quiet", "--", "/bin/sh", "-c", script.c_str(),
                  marker.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        usleep(std::uniform_int_distribution<useconds_t>(0, 60000)(random));
        kill(vboard, SIGKILL);
        waitpid(vboard, nullptr, 0);
        ASSERT_TRUE(all_gone(marker)) << "a process of the run outlived vboard, killed at run " << kill_number;
    }
    EXPECT_EQ(mount_table(), before);
    EXPECT_TRUE(std::filesystem::is_empty(scratch));
    std::filesystem::remove_all(scratch);
}

} // namespace
