#pragma once

namespace vboard::command {

// `vboard devices`: what the board has, as a program finds it (its nodes,
// bus addresses, the ADC's channels and what the bench wires to them, the
// PWM controller), and the programs `vboard run` knows by name. Returns
// vboard's exit status.
int devices_command(int argc, char** argv);

} // namespace vboard::command
