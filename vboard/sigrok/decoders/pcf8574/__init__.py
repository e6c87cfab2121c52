'''
This decoder stacks on top of the 'i2c' PD and decodes the PCF8574 and
PCF8574A 8-bit quasi-bidirectional I/O expanders at one address: each byte
written to the port and each byte read from the pins, as the eight pins'
levels under the names they are wired to (by default those of an HD44780
character-LCD backpack: P0 RS, P1 RW, P2 EN, P3 BL, P4..P7 D4..D7).

A decoder stacked on it (such as 'hd44780') gets the pins' levels:

 - ['WRITE', <byte>, <pins>]: the outputs took <byte> at the packet's end
   sample, as the acknowledge clock pulse of the byte written ended;
 - ['READ', <byte>, <pins>]: the pins read <byte>;

<pins> is a dict of each pin's name to its level (0 or 1).
'''

from .pd import Decoder
