import sigrokdecode as srd

# Execution times from the datasheet, at the nominal 270 kHz oscillator (a
# real module's may be off by tens of per cent), in ns. The waits after
# power-on and after the first two function sets are those the datasheet
# asks of software that initialises by instruction.
power_on_ns = 40000000
first_wake_up_ns = 4100000
second_wake_up_ns = 100000
clear_home_ns = 1520000
instruction_ns = 37000

# DDRAM in two-line mode: line 0 at 0x00..0x27, line 1 at 0x40..0x67.
line_length = 40
line1_start = 0x40

sizes = ('8x1', '8x2', '16x1', '16x2', '16x4', '20x1', '20x2', '20x4', '24x2', '40x2')

class Ann:
    NIBBLE, INSTRUCTION, DATA, READ, LOST, WARNING, LINE1, LINE2, LINE3, LINE4 = range(10)

# The glyph of character code `code` in character ROM A00.
def glyph(code):
    special = {0x5c: '\u00a5', 0x7e: '\u2192', 0x7f: '\u2190', 0xdf: '\u00b0'}
    if code in special:
        return special[code]
    if 0x20 <= code < 0x7e:
        return chr(code)
    return '\u2592'  # user-defined (CGRAM) and katakana glyphs

def on_off(bit, on, off):
    return on if bit else off

# The instruction's name as the datasheet gives it, a short one, and its
# fields.
def instruction_text(value):
    if value & 0x80:
        return 'Set DDRAM address', 'DDRAM', 'address 0x%02x' % (value & 0x7f)
    if value & 0x40:
        return 'Set CGRAM address', 'CGRAM', 'address 0x%02x' % (value & 0x3f)
    if value & 0x20:
        return 'Function set', 'Function', 'DL=%d %s, N=%d %s, F=%d %s' % (
            (value >> 4) & 1, on_off(value & 0x10, '8-bit', '4-bit'), (value >> 3) & 1,
            on_off(value & 0x08, '2 lines', '1 line'), (value >> 2) & 1, on_off(value & 0x04, '5x10 dots', '5x8 dots'))
    if value & 0x10:
        return 'Cursor or display shift', 'Shift', 'S/C=%d %s, R/L=%d %s' % (
            (value >> 3) & 1, on_off(value & 0x08, 'display', 'cursor'), (value >> 2) & 1,
            on_off(value & 0x04, 'right', 'left'))
    if value & 0x08:
        return 'Display on/off control', 'Display', 'D=%d %s, C=%d %s, B=%d %s' % (
            (value >> 2) & 1, on_off(value & 0x04, 'display on', 'display off'), (value >> 1) & 1,
            on_off(value & 0x02, 'cursor on', 'cursor off'), value & 1, on_off(value & 0x01, 'blink on', 'blink off'))
    if value & 0x04:
        return 'Entry mode set', 'Entry mode', 'I/D=%d %s, S=%d %s' % (
            (value >> 1) & 1, on_off(value & 0x02, 'increment', 'decrement'), value & 1,
            on_off(value & 0x01, 'display shifts', 'no shift'))
    if value & 0x02:
        return 'Return home', 'Home', ''
    if value & 0x01:
        return 'Clear display', 'Clear', ''
    return 'No operation', 'NOP', 'ignored'  # not an instruction: the controller ignores it

class Decoder(srd.Decoder):
    api_version = 3
    id = 'hd44780'
    name = 'HD44780'
    longname = 'Hitachi HD44780 LCD controller'
    desc = 'Character-LCD controller in its 4-bit interface, on a PCF8574 backpack.'
    license = 'gplv2+'
    inputs = ['pcf8574']
    outputs = []
    tags = ['Display', 'IC']
    options = (
        {'id': 'start', 'desc': 'Controller at the capture\'s start', 'default': 'power-on',
            'values': ('power-on', '4bit', '4bit-half')},
        {'id': 'size', 'desc': 'Display size (columns x rows)', 'default': '16x2', 'values': sizes},
    )
    annotations = (
        ('nibble', 'Nibble'),
        ('instruction', 'Instruction'),
        ('data', 'Data write'),
        ('read', 'Read'),
        ('lost', 'Lost transfer'),
        ('warning', 'Warning'),
        ('line-1', 'Line 1'),
        ('line-2', 'Line 2'),
        ('line-3', 'Line 3'),
        ('line-4', 'Line 4'),
    )
    annotation_rows = (
        ('nibbles', 'Nibbles', (Ann.NIBBLE,)),
        ('operations', 'Instructions and data', (Ann.INSTRUCTION, Ann.DATA, Ann.READ)),
        ('timing', 'Timing', (Ann.LOST,)),
        ('warnings', 'Warnings', (Ann.WARNING,)),
        ('line1', 'Line 1', (Ann.LINE1,)),
        ('line2', 'Line 2', (Ann.LINE2,)),
        ('line3', 'Line 3', (Ann.LINE3,)),
        ('line4', 'Line 4', (Ann.LINE4,)),
    )

    def __init__(self):
        self.reset()

    def reset(self):
        self.samplerate = None
        self.port = None     # the pins' levels as last written, None before the first write
        self.en_rise = 0     # the sample EN last rose at
        self.pulse_read = None  # D7..D4 as read while EN was high, in the pulse under way
        self.warned = set()

    def metadata(self, key, value):
        if key == srd.SRD_CONF_SAMPLERATE:
            self.samplerate = value

    def start(self):
        self.out_ann = self.register(srd.OUTPUT_ANN)
        if self.options['size'] not in sizes:
            raise ValueError('size is one of %s, not %s' % (', '.join(sizes), self.options['size']))
        self.columns, self.rows = (int(n) for n in self.options['size'].split('x'))
        start = self.options['start']
        if start not in ('power-on', '4bit', '4bit-half'):
            raise ValueError('start is power-on, 4bit or 4bit-half, not %s' % start)
        self.power_on(start)

    # The controller's state at the capture's start. Just powered: the 8-bit
    # interface, busy with its internal reset for 40 ms. Otherwise powered
    # long ago and left in the 4-bit interface by an earlier program, maybe
    # halfway through a byte (its high nibble, unknown here, latched). What
    # it held before the capture is unknown: the rest is taken as after the
    # internal reset (display off, increment, no shift, one line, blank).
    def power_on(self, start):
        self.eight_bit = start == 'power-on'
        self.have_high = start == '4bit-half'
        self.high = None         # the high nibble latched, None when unknown
        self.high_ss = 0
        self.read_high = None    # the first nibble of a 4-bit read
        self.busy_until = power_on_ns if start == 'power-on' else 0
        self.function_sets = 0 if start == 'power-on' else 3
        self.two_lines = False
        self.display_on = False
        self.increment = True
        self.shift_display = False
        self.display_shift = 0
        self.addressing_cgram = False
        self.address = 0
        self.ddram = [0x20] * 0x80
        self.cgram = [0] * 0x40
        self.shown = [(self.row_text(row), 0) for row in range(self.rows)]

    def put_ann(self, ss, es, cls, texts):
        self.put(ss, es, self.out_ann, [cls, texts])

    def warn_once(self, ss, es, text):
        if text not in self.warned:
            self.warned.add(text)
            self.put_ann(ss, es, Ann.WARNING, [text])

    def ns(self, sample):
        return None if not self.samplerate else sample * 1000000000 // self.samplerate

    def decode(self, ss, es, data):
        cmd, byte, pins = data
        missing = [name for name in ('RS', 'EN', 'D4', 'D5', 'D6', 'D7') if name not in pins]
        if missing:
            self.warn_once(ss, es, 'No pin named %s on the expander' % ', '.join(missing))
            return
        if cmd == 'READ':
            # With R/W and EN high the controller drives D7..D4.
            if self.port is not None and self.port['RW'] and self.port['EN']:
                self.pulse_read = sum(pins['D%d' % n] << n for n in range(4, 8))
            return
        # R/W tied to ground where the backpack does not wire it.
        port = {'RS': pins['RS'], 'RW': pins.get('RW', 0), 'EN': pins['EN'],
                'data': sum(pins['D%d' % n] << n for n in range(4, 8))}
        before, self.port = self.port, port
        if (before is None or not before['EN']) and port['EN']:
            self.en_rise = es
            self.pulse_read = None
        elif before is not None and before['EN'] and not port['EN']:
            # The controller samples the bus on EN's falling edge: the levels
            # written before the one that took EN low.
            self.latch(before, self.en_rise, es)

    # One EN pulse: the controller takes the nibble (or, in the 8-bit
    # interface, the byte with D3..D0 at 0, as they are not wired). A write,
    # or a data read, while it is busy is ignored; reading the busy flag is
    # allowed at any time.
    def latch(self, port, ss, es):
        reading, is_data, nibble = port['RW'], port['RS'], port['data']
        if reading and not is_data:
            self.busy_flag_read(ss, es)
            return
        t = self.ns(es)
        if t is None:
            self.warn_once(ss, es, 'No sample rate: the timing is not checked')
        elif t < self.busy_until:
            self.lost(ss, es, reading, is_data, nibble, self.busy_until - t)
            return
        if self.eight_bit:
            value, first = nibble, ss
            self.put_ann(ss, es, Ann.NIBBLE, ['8-bit transfer 0x%02x' % nibble, '0x%02x' % nibble])
        elif not self.have_high:
            self.high, self.high_ss, self.have_high = nibble, ss, True
            self.read_high = self.pulse_read
            self.put_ann(ss, es, Ann.NIBBLE, ['High nibble 0x%x' % (nibble >> 4), 'H %x' % (nibble >> 4)])
            return
        else:
            value = None if self.high is None else self.high | nibble >> 4
            first, self.have_high = self.high_ss, False
            self.put_ann(ss, es, Ann.NIBBLE, ['Low nibble 0x%x' % (nibble >> 4), 'L %x' % (nibble >> 4)])
        if t is not None:
            self.busy_until = t + instruction_ns
        if value is None:
            # The high nibble came before the capture: the byte is unknown.
            self.put_ann(first, es, Ann.WARNING, ['A byte whose high nibble came before the capture',
                                                  'Unknown byte'])
        elif reading:
            self.data_read(first, es)
        elif is_data:
            self.data_write(first, es, value)
        else:
            self.instruction(first, es, value, t)

    def lost(self, ss, es, reading, is_data, nibble, early_ns):
        kind = 'a data read' if reading else 'a character' if is_data else 'an instruction'
        if self.eight_bit and reading:
            what = 'a data read'
        elif self.eight_bit:
            what = '%s 0x%02x' % ('character' if is_data else 'instruction', nibble)
        else:
            what = '%s nibble 0x%x of %s' % ('low' if self.have_high else 'high', nibble >> 4, kind)
        early = '%.1f µs early' % (early_ns / 1000)
        self.put_ann(ss, es, Ann.LOST, ['Lost %s: %s, still busy' % (what, early), 'Lost: ' + early, 'Lost'])

    # The busy flag (D7) and the address counter: in the 4-bit interface the
    # first pulse gives BF and AC6..AC4, the next AC3..AC0.
    def busy_flag_read(self, ss, es):
        read, self.pulse_read = self.pulse_read, None
        if not self.eight_bit and not self.have_high:
            self.have_high, self.high_ss, self.read_high = True, ss, read
            return
        first = ss
        if self.eight_bit:
            value = None if read is None else read
        else:
            self.have_high, first = False, self.high_ss
            value = None if read is None or self.read_high is None else self.read_high | read >> 4
        if value is None:
            self.put_ann(first, es, Ann.READ, ['Read busy flag and address: nothing read', 'BF ?'])
            return
        # In the 8-bit interface only D7..D4 are wired: AC3..AC0 go unseen.
        address = ('0x%02x' % (value & 0x7f)) if not self.eight_bit else ('0x%x?' % ((value >> 4) & 0x7))
        self.put_ann(first, es, Ann.READ, ['Read busy flag and address: BF=%d, AC=%s' % (value >> 7, address),
                                           'BF=%d AC=%s' % (value >> 7, address)])

    def data_read(self, ss, es):
        read, self.pulse_read = self.pulse_read, None
        if self.eight_bit or read is None:
            value = read
        else:
            value = None if self.read_high is None else self.read_high | read >> 4
        where = self.where()
        if self.addressing_cgram:
            self.address = (self.address + (1 if self.increment else 0x3f)) & 0x3f
        else:
            self.step_address(self.increment)
        text = '?' if value is None else '0x%02x' % value
        self.put_ann(ss, es, Ann.READ, ['Read data %s from %s' % (text, where), 'Read ' + text])

    def where(self):
        return ('CGRAM 0x%02x' % (self.address & 0x3f)) if self.addressing_cgram else ('DDRAM 0x%02x' % self.address)

    def data_write(self, ss, es, value):
        where = self.where()
        if self.addressing_cgram:
            self.cgram[self.address & 0x3f] = value
            self.address = (self.address + (1 if self.increment else 0x3f)) & 0x3f
            self.put_ann(ss, es, Ann.DATA, ['Write data 0x%02x to %s' % (value, where), 'Data 0x%02x' % value])
            return
        written = self.address & 0x7f
        self.ddram[written] = value
        self.step_address(self.increment)
        if self.shift_display:
            # With increment the text moves left under a fixed cursor position.
            self.display_shift += 1 if self.increment else -1
        self.put_ann(ss, es, Ann.DATA, ["Write data 0x%02x '%s' to %s" % (value, glyph(value), where),
                                        "Data '%s'" % glyph(value), glyph(value)])
        self.show_lines(es, written)

    def instruction(self, ss, es, value, t):
        if (value & 0xe0) == 0x20:
            self.function_sets += 1
        if t is not None:
            self.busy_until = t + self.execution_ns(value)
        name, short, fields = instruction_text(value)
        long = '%s 0x%02x%s' % (name, value, ': ' + fields if fields else '')
        self.put_ann(ss, es, Ann.INSTRUCTION, [long, '%s 0x%02x' % (name, value), '%s 0x%02x' % (short, value),
                                               '0x%02x' % value])
        self.execute(value)
        self.show_lines(es, None)

    # The datasheet's execution times; 0x00 is no instruction at all, and
    # leaves the controller free.
    def execution_ns(self, value):
        if value == 0x01 or (value & 0xfe) == 0x02:
            return clear_home_ns
        if (value & 0xe0) == 0x20:
            # The n-th function set since power-on (already counted).
            return first_wake_up_ns if self.function_sets == 1 else \
                second_wake_up_ns if self.function_sets == 2 else instruction_ns
        return 0 if value == 0 else instruction_ns

    def execute(self, value):
        if value & 0x80:
            self.addressing_cgram = False
            self.address = value & 0x7f
        elif value & 0x40:
            self.addressing_cgram = True
            self.address = value & 0x3f
        elif value & 0x20:
            self.eight_bit = bool(value & 0x10)
            self.two_lines = bool(value & 0x08)
            self.have_high = False
        elif value & 0x10:
            right = bool(value & 0x04)
            if value & 0x08:
                # Shifting the display right moves the text right: the
                # window onto DDRAM starts one column earlier.
                self.display_shift += -1 if right else 1
            else:
                self.addressing_cgram = False
                self.step_address(right)
        elif value & 0x08:
            self.display_on = bool(value & 0x04)
        elif value & 0x04:
            self.increment = bool(value & 0x02)
            self.shift_display = bool(value & 0x01)
        elif value & 0x02:
            self.addressing_cgram = False
            self.address = 0
            self.display_shift = 0
        elif value & 0x01:
            self.ddram = [0x20] * 0x80
            self.addressing_cgram = False
            self.address = 0
            self.display_shift = 0
            self.increment = True  # clear also sets I/D to increment

    # The address counter one position on, wrapping as the controller does:
    # in two-line mode from the end of one line to the start of the other.
    def step_address(self, forward):
        if not self.two_lines:
            self.address = (self.address + (1 if forward else 79)) % 80
            return
        line = 1 if self.address >= line1_start else 0
        column = self.address - line * line1_start + (1 if forward else -1)
        if column >= line_length:
            column, line = 0, 1 - line
        elif column < 0:
            column, line = line_length - 1, 1 - line
        self.address = line * line1_start + column

    # The DDRAM address shown at a row's column: rows 2 and 3 of a 4-line
    # module continue lines 0 and 1; in one-line mode DDRAM is one line of 80.
    def cell_address(self, row, column):
        line, column = row % 2, (row // 2) * self.columns + column
        if not self.two_lines:
            return (column + self.display_shift) % 80
        return line * line1_start + (column + self.display_shift) % line_length

    def row_text(self, row):
        if not self.display_on or (not self.two_lines and row % 2 == 1):
            return ''
        text = ''.join(glyph(self.ddram[self.cell_address(row, c)]) for c in range(self.columns))
        return text.rstrip(' ')

    # Each line's text is annotated from when it took it up to when it
    # changes or is written again (the annotation comes then: the decoder
    # learns of no end of the capture).
    def show_lines(self, es, written):
        for row in range(self.rows):
            text = self.row_text(row)
            shown, since = self.shown[row]
            rewritten = written is not None and self.display_on and \
                any(self.cell_address(row, c) == written for c in range(self.columns))
            if text == shown and not rewritten:
                continue
            if shown:
                self.put_ann(since, es, Ann.LINE1 + row, ['Line %d: %s' % (row + 1, shown), shown])
            self.shown[row] = (text, es)
