#pragma once

// How SIGINT stops the fader: sig_handler clears flag, which the fade loop
// reads afresh at the start of every pass, so the pass under way finishes
// and the output is closed before the program ends.

#include <csignal>

// 1 while the fade runs; 0 once SIGINT has arrived.
extern volatile std::sig_atomic_t flag;

// The SIGINT handler: says "Exiting...\n" on standard output and clears
// flag; any other signal number changes nothing.
void sig_handler(int signo);
