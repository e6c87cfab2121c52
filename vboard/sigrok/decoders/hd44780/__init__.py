'''
This decoder stacks on top of the 'pcf8574' PD and decodes an HD44780
character-LCD controller on the expander's pins (RS, RW, EN and D7..D4:
the 4-bit interface): the nibbles it latches on EN's falling edge, the
instructions and data they make (the 8-bit wake-up included), reads of the
busy flag and address counter and of data, the text of each display line,
and the transfers it lost because it was still busy executing the one
before (the datasheet's execution times at the nominal 270 kHz oscillator).
'''

from .pd import Decoder
