#pragma once

// What the board does around each call a program makes of a device (an
// open, ioctl, read, write or close of a node or a sysfs attribute), on the
// thread that serves the call, while the program waits
// for its answer. The run under way takes in the program's output there, so
// that what it printed before the call counts before it, and may owe the
// program a signal as the call returns.

namespace vboard {

class DeviceCalls {
public:
    virtual ~DeviceCalls() = default;
    // False when the call must not reach the device: the run has stopped
    // the program, which is going. `opens`: the call opens a file.
    virtual bool before(bool opens) = 0;
    // After the device has handled the call, before the program gets its answer.
    virtual void after() = 0;
};

} // namespace vboard
