#pragma once

// Faults to inject into a run of the virtual board, from the command line's
// --fault options or from a test:
//   absent=PATH                         the node or sysfs file (or directory) does not exist
//   deny=PATH                           opening it fails with EACCES, even for root
//   ioctl=DEVICE:REQUEST[:ERRNO[:N]]    the request on that node fails (default EINVAL),
//                                       only its Nth occurrence if N is given (counted from 1)
//   nack=ADDRESS:FRAME                  the I2C device stops acknowledging at its FRAMEth write
//   write=PATH[:N]                      writes to the sysfs attribute fail with EINVAL,
//                                       only its Nth write if N is given (counted from 1)
// PATH is absolute, as the program sees it, and inside the board's /dev or
// /sys once `.` and `..` are resolved (never anything of the PC's); the
// board refuses one it has not got (fault_paths.hpp); DEVICE a
// node name such as spidev3.0; REQUEST a kernel name (SPI_IOC_WR_MODE32,
// SPI_IOC_MESSAGE, I2C_SLAVE_FORCE...) or a number; ERRNO a number or a name
// such as EIO; N and FRAME count from 1.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vboard {

class FaultPlan {
public:
    // Adds one fault as the command line gives it; returns what is wrong with it, or "".
    std::string add(std::string_view spec);

    void absent(std::string path) { absent_.push_back(std::move(path)); }
    void deny(std::string path) { denied_.push_back(std::move(path)); }
    // `occurrence` 0: every write; N: only the Nth write to the attribute.
    void refuse_writes(std::string path, int occurrence = 0) { writes_.push_back({std::move(path), occurrence}); }
    // `request` 0 with `any_message` set matches every SPI_IOC_MESSAGE(n).
    void refuse_ioctl(std::string device, unsigned long request, bool any_message, int error, int occurrence);
    void nack(int address, int from_frame) { nacks_.push_back({address, from_frame}); }

    const std::vector<std::string>& absent_paths() const { return absent_; }
    // Every fault that names a path: its kind ("absent", "deny" or "write") and the path.
    std::vector<std::pair<std::string, std::string>> path_faults() const;
    // The nodes of the ioctl faults, and the addresses of the nack faults.
    std::vector<std::string> ioctl_devices() const;
    std::vector<int> nack_addresses() const;

    // Rewrites every path so that aliases (a /sys/class link and the device
    // directory it points to) compare equal; the board calls this once its
    // sysfs exists, and compares paths canonicalised the same way.
    void canonicalise(const std::function<std::string(const std::string&)>& canonical);

    bool denied(const std::string& canonical_path) const;
    // Whether this write to the attribute fails. Counts the writes, so call
    // it exactly once per write made.
    bool write_refused(const std::string& canonical_path);
    // The errno this call of `request` on `device` fails with, or 0. Counts
    // the occurrences, so call it exactly once per request made.
    int ioctl_error(std::string_view device, unsigned long request);
    // The first write to `address` that is not acknowledged, if any.
    std::optional<int> nack_from(int address) const;

private:
    struct IoctlFault {
        std::string device;
        unsigned long request;
        bool any_message;
        int error;
        int occurrence; // 0: every one
        int seen = 0;
    };
    struct WriteFault {
        std::string path;
        int occurrence; // 0: every one
        int seen = 0;
    };
    struct Nack {
        int address;
        int from_frame;
    };

    std::vector<std::string> absent_;
    std::vector<std::string> denied_;
    std::vector<WriteFault> writes_;
    std::vector<IoctlFault> ioctls_;
    std::vector<Nack> nacks_;
};

// True if `path` is `prefix` or lies below it.
bool path_within(const std::string& path, const std::string& prefix);

} // namespace vboard
