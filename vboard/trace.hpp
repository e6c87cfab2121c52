#pragma once

// The record of a run as JSON lines: one object per event, each with `t`
// (virtual seconds since the program started), `dev` and `event`.
//
//   {"t":0.0512,"dev":"i2c-0","event":"write","addr":39,"bytes":"0c083c38"}
//   {"t":0.00028,"dev":"lcd","event":"violation","lost":"instruction 0x00","early_us":39720}
//   {"t":2.1,"dev":"lcd","event":"screen","rows":["WELCOME ALL TO  ","TALVOR INDIA    "],"display":true,"backlight":true}
//   {"t":0,"dev":"spidev3.0","event":"transfer","tx":"0001..","rx":"0001..","len":32,"speed_hz":1000000,...}
//   {"t":0.05,"dev":"pwmchip0","event":"write","attr":"pwm0/duty_cycle","value":"102000","result":6}
//   {"t":0,"dev":"syslog","event":"log","priority":"notice","text":"..."}

#include "events.hpp"

#include <string>

namespace vboard {

std::string to_json(const Event& event);

// Helpers shared with the live view.
std::string hex(const Bytes& bytes);
std::string errno_name(int error);
std::string signal_name(int signal);
// What an HD44780 instruction byte does, in a few words.
std::string lcd_instruction_name(std::uint8_t value);

} // namespace vboard
