// pwm_led_mraa: fades the LED on PWM pin 72 up in steps of 1 % of a 200 us
// period, one step every 50 ms, starting again from dark once it has passed
// full brightness, and prints the duty cycle read back from the controller
// after each step. SIGINT ends the fade; the output is then disabled and
// released before the program ends with status 0.

#include "pwm_led_mraa.hpp"

#include <mraa/common.h>
#include <mraa/pwm.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

volatile std::sig_atomic_t flag = 1;

void sig_handler(int signo)
{
    if (signo != SIGINT) {
        return;
    }
    // The signal may land while printf is in the middle of a report line:
    // only a plain write(2) is safe here, and it must not disturb the errno
    // of whatever call it interrupted.
    static constexpr char message[] = "Exiting...\n";
    const int saved_errno = errno;
    [[maybe_unused]] const ssize_t written = write(STDOUT_FILENO, message, sizeof message - 1);
    errno = saved_errno;
    flag = 0;
}

namespace {

constexpr int pwm_pin = 72;    // libmraa's pin number of the LED's PWM output
constexpr int period_us = 200; // 5 kHz: far too fast to see the LED flicker
constexpr float initial_duty = 0.5f;
constexpr float duty_step = 0.01f; // single precision: the ramp's values follow from it
constexpr float wrap_at = 1.0f;
constexpr useconds_t pause_us = 50000;

// Installed before anything is opened, so that a Ctrl-C at any point lets
// the program close the output instead of leaving it exported and running.
// No SA_RESTART: a pause cut short by the signal is not resumed.
void install_sigint_handler()
{
    struct sigaction action {};
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    // Cannot fail: SIGINT is a valid signal that may be caught.
    sigaction(SIGINT, &action, nullptr);
}

int open_failed()
{
    static constexpr char message[] = "Failed to initialize PWM\n";
    std::fwrite(message, 1, sizeof message - 1, stderr);
    mraa_deinit();
    return 1;
}

// Set when a report line could not be written (a full disk; a closed pipe
// where SIGPIPE is ignored): the fade stops there, the output is released as
// after any failure, and the program ends with status 1.
int lost_output_errno = 0;

// The common end of every path after a successful open: libmraa's account
// of a failure, then the output disabled and unexported.
int stop(mraa_pwm_context pwm, mraa_result_t result)
{
    if (result != MRAA_SUCCESS) {
        mraa_result_print(result);
    }
    mraa_pwm_close(pwm);
    mraa_deinit();
    if (lost_output_errno != 0) {
        std::fprintf(stderr, "pwm_led_mraa: cannot write standard output: %s\n", std::strerror(lost_output_errno));
        return 1;
    }
    return result == MRAA_SUCCESS ? 0 : 1;
}

// Steps the duty cycle until SIGINT clears flag; the result of the write
// that failed, if one did. The value that crosses 1.0 is written (libmraa
// drives the full period for it) before the ramp starts again from 0.
mraa_result_t fade(mraa_pwm_context pwm)
{
    float duty = initial_duty;
    while (flag != 0) {
        duty += duty_step;
        const mraa_result_t result = mraa_pwm_write(pwm, duty);
        if (result != MRAA_SUCCESS) {
            return result;
        }
        usleep(pause_us);
        if (duty >= wrap_at) {
            duty = 0.0f;
        }
        const float read_back = mraa_pwm_read(pwm);
        std::printf("PWM value is %f\n", static_cast<double>(read_back));
        if (std::fflush(stdout) != 0) {
            lost_output_errno = errno;
            break;
        }
    }
    return MRAA_SUCCESS;
}

// musl's standard output is line-buffered until its first write, glibc's
// fully buffered from the start when it is no terminal, and a write that
// fails inside printf or puts is lost to musl's next fflush, which then
// reports success. Buffered fully from the start here, on the board as on
// the PC, every write reaches the file at the flush that checks it and
// fails there with its errno. A terminal stays line-buffered.
void buffer_output_fully()
{
    static char buffer[4096];
    if (isatty(STDOUT_FILENO) == 0) {
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    }
}

} // namespace

int main()
{
    buffer_output_fully();
    install_sigint_handler();
    mraa_init(); // a failure shows as the pin failing to open
    const mraa_pwm_context pwm = mraa_pwm_init(pwm_pin);
    if (pwm == nullptr) {
        return open_failed();
    }
    mraa_result_t result = mraa_pwm_period_us(pwm, period_us);
    if (result == MRAA_SUCCESS) {
        result = mraa_pwm_enable(pwm, 1);
    }
    if (result == MRAA_SUCCESS) {
        result = fade(pwm);
    }
    return stop(pwm, result);
}
