#!/usr/bin/python3
# The trace against its schema (docs/trace.schema.json), on runs of the
# project's programs and of clients nobody here wrote, as users start them:
# every line of every trace must fit the schema, the header must come first
# and only there, each run must end as it does and write what it is run for
# (its failure paths included), and together the runs must write every kind
# the schema names: a kind nothing writes, or a line of a kind the schema
# lacks, fails.
#
#   trace_schema_test.py VBOARD SCHEMA

import json
import os
import subprocess
import sys
import tempfile
from typing import NamedTuple

import jsonschema

SMBUS_DISPLAY = """
import smbus, time
bus = smbus.SMBus(0)
time.sleep(0.05)
for b in (0x0c, 0x08, 0x3c, 0x38): bus.write_byte(0x27, b)
bus.write_i2c_block_data(0x27, 0x0c, [0x08, 0xcc, 0xc8])
print(hex(bus.read_byte(0x27)))
"""

# spidev by ioctl: the mode read, set to 3, one transfer of 3 bytes.
SPIDEV_IOCTL = """
import ctypes, fcntl, os, struct
fd = os.open('/dev/spidev0.0', os.O_RDWR)
mode = bytearray(4)
fcntl.ioctl(fd, 0x80046b05, mode)                # SPI_IOC_RD_MODE32
fcntl.ioctl(fd, 0x40016b01, struct.pack('B', 3))  # SPI_IOC_WR_MODE
tx, rx = ctypes.create_string_buffer(b'\\x9f\\x01\\x02', 3), ctypes.create_string_buffer(3)
record = struct.pack('QQIIHBBBBBB', ctypes.addressof(tx), ctypes.addressof(rx), 3, 500000, 0, 8, 0, 0, 0, 0, 0)
fcntl.ioctl(fd, 0x40206b00, record)              # SPI_IOC_MESSAGE(1)
print(rx.raw.hex())
"""

BUSYBOX_SYSFS = (
    "cat /sys/bus/iio/devices/iio:device0/in_voltage6_raw; cd /sys/class/pwm/pwmchip0;"
    "echo 0 > export; echo 200000 > pwm0/period; echo 1 > pwm0/enable; echo 0 > unexport"
)


class Run(NamedTuple):
    name: str
    argv: list  # vboard's options, then the program and its arguments
    status: int  # vboard's exit status
    shows: list  # kinds it must write; "kind.field": a line of that kind with that field
    stdin: str = ""
    control: str = ""  # lines waiting on the --control FIFO from the start


ADC = "/sys/bus/iio/devices/iio:device0"
SIGINT = 128 + 2  # vboard's status for a program that SIGINT ended

RUNS = [
    Run("i2c_lcd", ["--for", "2.5", "i2c_lcd"], 0,
        ["open", "ioctl.value_hex", "i2c_write", "lcd_instruction.eight_bit", "lcd_char.text", "lcd_screen", "sleep",
         "stopped", "log"]),
    Run("i2c_lcd_20x4_left_in_4bit_mode", ["--lcd", "20x4", "--lcd-state", "4bit", "--for", "2.5", "i2c_lcd"], 0,
        ["lcd_violation", "lcd_screen"]),
    Run("i2c_lcd_display_gone_at_frame_5", ["--fault", "nack=0x27:5", "i2c_lcd"], 1,
        ["i2c_write.error", "exit.status"]),
    Run("i2c_lcd_no_bus", ["--fault", "absent=/dev/i2c-0", "i2c_lcd"], 1, ["log", "exit"]),
    Run("i2c_lcd_address_refused", ["--fault", "ioctl=i2c-0:I2C_SLAVE_FORCE:EBUSY", "i2c_lcd"], 1,
        ["ioctl.error", "close"]),
    Run("i2c_lcd_sigint", ["--sigint-after", "2.5", "i2c_lcd"], SIGINT, ["exit.signal"]),
    Run("spi_ioctl", ["spi_ioctl"], 0, ["spi_transfer", "ioctl.value_hex", "close", "exit.status"]),
    Run("spi_ioctl_speed_refused", ["--fault", "ioctl=spidev3.0:SPI_IOC_WR_MAX_SPEED_HZ", "spi_ioctl"], 1,
        ["ioctl.error"]),
    Run("spi_ioctl_no_node", ["--fault", "absent=/dev/spidev3.0", "spi_ioctl"], 1, ["exit.status"]),
    Run("adc_test", ["--adc", "6=2048,4095", "--for", "2", "adc_test", "6"], 0,
        ["sysfs_write", "sysfs_read", "open", "close", "sleep", "stopped"]),
    Run("adc_test_raw_denied", ["--fault", "deny=" + ADC + "/in_voltage6_raw", "--for", "1", "adc_test", "6"], 0,
        ["open.error"]),
    Run("adc_test_turned_on_control", ["--adc", "6=100", "--for", "3", "adc_test", "6"], 0, ["input.count"],
        control="adc 6 1.2V\n"),
    Run("adc_test_sigint", ["--sigint-after", "1.5", "adc_test", "6"], SIGINT, ["exit.signal"]),
    Run("pwm_led_mraa_sigint", ["--sigint-after", "0.3", "pwm_led_mraa"], 0,
        ["handler", "signal", "sysfs_write", "sysfs_read", "log", "exit.status"]),
    Run("pwm_led_mraa_duty_refused", ["--fault", "write=/sys/class/pwm/pwmchip0/pwm0/duty_cycle:2", "pwm_led_mraa"], 1,
        ["sysfs_write.error"]),
    Run("calculator", ["calculator"], 0, ["trace", "exit.status"], stdin="12 * -7\n"),
    Run("calculator_division_by_zero", ["calculator"], 1, ["exit.status"], stdin="1 / 0\n"),
    Run("ky013", ["--ntc", "0=25C", "--for", "2", "ky013"], 0, ["sysfs_read", "log", "stopped"]),
    Run("ky013_no_adc", ["--fault", "absent=" + ADC, "ky013"], 1, ["log"]),
    Run("spi_mraa", ["spi_mraa"], 0, ["spi_transfer", "ioctl", "log"]),
    Run("spi_mraa_mode_refused", ["--fault", "ioctl=spidev0.0:SPI_IOC_WR_MODE", "spi_mraa"], 1, ["ioctl.error"]),
    Run("i2cdetect", ["--", "/usr/sbin/i2cdetect", "-y", "0"], 0, ["ioctl.value_hex", "i2c_write.error", "i2c_read"]),
    Run("i2cget", ["--", "/usr/sbin/i2cget", "-y", "0", "0x27"], 0, ["i2c_read"]),
    Run("i2ctransfer_in_the_power_on_reset",
        ["--", "/usr/sbin/i2ctransfer", "-y", "0", "w4@0x27", "0x0c", "0x08", "0x3c", "0x38"], 0,
        ["lcd_violation", "i2c_write"]),
    Run("busybox", ["--", "/bin/busybox", "sh", "-c", BUSYBOX_SYSFS], 0, ["sysfs_read", "sysfs_write"]),
    Run("busybox_background_process", ["--", "/bin/busybox", "sh", "-c", "sleep 5 & echo started"], 0,
        ["exit.processes_ended"]),
    Run("python_smbus", ["--", "/usr/bin/python3", "-c", SMBUS_DISPLAY], 0, ["i2c_write", "i2c_read", "sleep"]),
    Run("python_spidev_ioctl", ["--", "/usr/bin/python3", "-c", SPIDEV_IOCTL], 0, ["ioctl.value_hex", "spi_transfer"]),
    Run("iio_info", ["--", "/usr/bin/iio_info"], 0, ["sysfs_read"]),
    Run("iio_attr", ["--adc", "6=1234", "--", "/usr/bin/iio_attr", "-c", "iio:device0", "voltage6", "raw"], 0,
        ["sysfs_read"]),
    Run("iio_readdev", ["--", "/usr/bin/iio_readdev", "-s", "8", "iio:device0", "voltage6"], 0,
        ["buffer_read", "sysfs_write"]),
    Run("spi_config", ["--", "/usr/bin/spi-config", "-d", "/dev/spidev3.0", "-q"], 0, ["ioctl"]),
    Run("spi_pipe_too_long",
        ["--", "/bin/sh", "-c", "head -c 4097 /dev/zero | spi-pipe -d /dev/spidev3.0 -b 4097 -n 1"], 1,
        ["spi_transfer.error"]),
]


def kinds_of(schema):
    """The schema's kinds: the $defs its oneOf lists, and a validator of each."""
    names = [branch["$ref"].removeprefix("#/$defs/") for branch in schema["oneOf"]]
    return {name: jsonschema.Draft202012Validator({"$defs": schema["$defs"], "$ref": "#/$defs/" + name})
            for name in names}


def why_not(event, kinds):
    """What keeps `event` out of each kind of its event's name."""
    reasons = []
    for name, validator in kinds.items():
        if validator.schema["$defs"][name]["properties"]["event"].get("const") == event.get("event"):
            error = jsonschema.exceptions.best_match(validator.iter_errors(event))
            reasons.append(f"{name}: {error.message}")
    return "".join("\n    " + reason for reason in reasons) if reasons else " (no kind has its event's name)"


def trace_of(vboard, run, directory):
    """vboard's exit status, its standard error and the run's trace."""
    trace = os.path.join(directory, run.name + ".jsonl")
    options = []
    control_fd = -1
    if run.control:
        fifo = os.path.join(directory, run.name + ".control")
        os.mkfifo(fifo)
        # Held open for reading and writing, the FIFO keeps the lines until
        # vboard reads them, whenever that is.
        control_fd = os.open(fifo, os.O_RDWR)
        os.write(control_fd, run.control.encode())
        options = ["--control", fifo]
    argv = [vboard, "run", "--trace", trace, "--quiet", "--speed", "max"] + options + run.argv
    try:
        done = subprocess.run(argv, input=run.stdin.encode(), capture_output=True, timeout=60)
    finally:
        if control_fd >= 0:
            os.close(control_fd)
    try:
        with open(trace, "rb") as file:
            written = file.read()
    except FileNotFoundError:
        written = b""
    return done.returncode, done.stderr.decode(errors="replace"), written


def check(run, status, err, trace, schema_validator, kinds, seen):
    """The run's problems, one a line; counts in `seen` the kinds it wrote."""
    problems = []
    if status != run.status:
        problems.append(f"vboard ended with {status}, not {run.status}: {err.strip()}")
    if not trace.endswith(b"\n"):
        problems.append("the trace is empty or its last line unfinished")
    shown = set()
    for number, line in enumerate(trace.splitlines(), 1):
        try:
            event = json.loads(line.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            problems.append(f"line {number} is not JSON in UTF-8 ({error}): {line!r}")
            continue
        if not schema_validator.is_valid(event):
            problems.append(f"line {number} fits no kind of the schema{why_not(event, kinds)}\n    {line}")
            continue
        kind = next(name for name, validator in kinds.items() if validator.is_valid(event))
        if (kind == "trace") != (number == 1):
            problems.append(f"line {number} is {kind}: the header comes first, and only there")
        seen[kind] = seen.get(kind, 0) + 1
        shown.add(kind)
        shown.update(kind + "." + field for field in event)
    problems += [f"no {wanted} in its trace" for wanted in run.shows if wanted not in shown]
    return problems


def main():
    vboard, schema_path = sys.argv[1:3]
    with open(schema_path, encoding="utf-8") as file:
        schema = json.load(file)
    jsonschema.Draft202012Validator.check_schema(schema)
    schema_validator = jsonschema.Draft202012Validator(schema)
    kinds = kinds_of(schema)
    seen = {}
    failed = 0
    with tempfile.TemporaryDirectory(prefix="vboard-trace-schema-") as directory:
        for run in RUNS:
            status, err, trace = trace_of(vboard, run, directory)
            problems = check(run, status, err, trace, schema_validator, kinds, seen)
            print(("FAIL " if problems else "ok   ") + f"{run.name}: {len(trace.splitlines())} lines")
            for problem in problems[:5]:
                print("    " + problem)
            if len(problems) > 5:
                print(f"    and {len(problems) - 5} more")
            failed += bool(problems)
    unwritten = [kind for kind in kinds if kind not in seen]
    if unwritten:
        print("FAIL the schema names kinds no run wrote: " + ", ".join(unwritten))
        failed += 1
    print(f"{len(seen)} of {len(kinds)} kinds written: " + ", ".join(f"{k} {n}" for k, n in sorted(seen.items())))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
