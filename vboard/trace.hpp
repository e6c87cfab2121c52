#pragma once

// The record of a run as JSON lines: one object per event, each with `t`
// (virtual seconds since the program started), `dev` and `event`, after a
// first line that names the format and vboard's version. docs/trace.md
// describes every kind, docs/trace.schema.json is its schema.
//
//   {"t":0,"dev":"vboard","event":"trace","format":1,"vboard":"0.1.0"}
//   {"t":0.0512,"dev":"i2c-0","event":"write","addr":39,"addr_hex":"0x27","bytes":"0c083c38"}
//   {"t":0.00028,"dev":"lcd","event":"violation","lost":"instruction 0x00","early_us":39720}
//   {"t":2.1,"dev":"lcd","event":"screen","rows":["WELCOME ALL TO  ","TALVOR INDIA    "],"display":true,"backlight":true}
//   {"t":0,"dev":"spidev3.0","event":"transfer","tx":"0001..","rx":"0001..","len":32,"speed_hz":1000000,...}
//   {"t":0.05,"dev":"pwmchip0","event":"write","attr":"pwm0/duty_cycle","value":"102000","result":6}
//   {"t":0,"dev":"syslog","event":"log","priority":"notice","text":"..."}

#include "events.hpp"

#include <string>

namespace vboard {

// The trace format's version: it goes up with every change to what a line
// may hold, so that docs/trace.schema.json of one version fits every trace
// of that version.
inline constexpr int trace_format = 1;

// The trace's first line, before any event.
std::string trace_header();
std::string to_json(const Event& event);

// Helpers shared with the live view.
std::string hex(const Bytes& bytes);
std::string errno_name(int error);
std::string signal_name(int signal);
// What an HD44780 instruction byte does, in a few words.
std::string lcd_instruction_name(std::uint8_t value);

} // namespace vboard
