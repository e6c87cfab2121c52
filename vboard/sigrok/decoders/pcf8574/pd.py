import sigrokdecode as srd

# The two variants' address ranges (A2..A0 select one of eight in each):
# PCF8574 0x20..0x27, PCF8574A 0x38..0x3f.
addresses = tuple('0x%02x' % a for a in list(range(0x20, 0x28)) + list(range(0x38, 0x40)))

# How the common HD44780 backpacks wire the port.
default_pins = ('RS', 'RW', 'EN', 'BL', 'D4', 'D5', 'D6', 'D7')

class Decoder(srd.Decoder):
    api_version = 3
    id = 'pcf8574'
    name = 'PCF8574'
    longname = 'NXP PCF8574/PCF8574A I/O expander'
    desc = '8-bit quasi-bidirectional I²C I/O expander.'
    license = 'gplv2+'
    inputs = ['i2c']
    outputs = ['pcf8574']
    tags = ['Embedded/industrial', 'IC']
    options = (
        {'id': 'address', 'desc': 'I²C address', 'default': '0x27', 'values': addresses},
    ) + tuple(
        {'id': 'p%d' % n, 'desc': 'Name of pin P%d' % n, 'default': default_pins[n]} for n in range(8)
    )
    annotations = (
        ('write', 'Port write'),
        ('read', 'Port read'),
        ('warning', 'Warning'),
    )
    annotation_rows = (
        ('port', 'Port', (0, 1)),
        ('warnings', 'Warnings', (2,)),
    )

    def __init__(self):
        self.reset()

    def reset(self):
        self.state = 'IDLE'
        self.byte = None
        self.byte_ss = None

    def start(self):
        self.out_ann = self.register(srd.OUTPUT_ANN)
        self.out_python = self.register(srd.OUTPUT_PYTHON)
        address = self.options['address'].strip().lower()
        if address not in addresses:
            raise ValueError('address %s is neither a PCF8574 (0x20..0x27) nor a PCF8574A (0x38..0x3f) one' %
                             self.options['address'])
        self.address = int(address, 16)
        self.pins = [str(self.options['p%d' % n]).strip() for n in range(8)]
        if '' in self.pins or len(set(self.pins)) != 8:
            raise ValueError('the pins P0..P7 need eight different names, not %s' % ','.join(self.pins))

    def levels(self, byte):
        return {self.pins[n]: (byte >> n) & 1 for n in range(8)}

    def describe(self, byte):
        return ' '.join('%s=%d' % (self.pins[n], (byte >> n) & 1) for n in reversed(range(8)))

    def decode(self, ss, es, data):
        cmd, value = data
        if cmd in ('START', 'START REPEAT'):
            self.state = 'ADDRESS'
        elif cmd == 'STOP':
            self.state = 'IDLE'
        elif cmd in ('ADDRESS WRITE', 'ADDRESS READ'):
            if self.state == 'ADDRESS' and value == self.address:
                self.state = 'ADDRESS ACK ' + ('WRITE' if cmd == 'ADDRESS WRITE' else 'READ')
            else:
                self.state = 'IDLE'  # another device's, or a 10-bit address
        elif cmd in ('ACK', 'NACK') and self.state.startswith('ADDRESS ACK '):
            if cmd == 'ACK':
                self.state = self.state[len('ADDRESS ACK '):]
            else:
                # No answer: nothing of the message reaches the port.
                self.put(ss, es, self.out_ann, [2, ['No acknowledge at 0x%02x' % self.address, 'NACK']])
                self.state = 'IDLE'
        elif cmd == 'DATA WRITE' and self.state == 'WRITE':
            self.byte, self.byte_ss = value, ss
        elif cmd in ('ACK', 'NACK') and self.state == 'WRITE' and self.byte is not None:
            self.written(ss, es, cmd == 'ACK')
        elif cmd == 'DATA READ' and self.state == 'READ':
            # The pins' levels as the acknowledge before the byte ended: an
            # output latched high is only a weak pull-up, which whatever
            # drives the pin can pull low.
            self.put(ss, es, self.out_ann, [1, ['Read 0x%02x: %s' % (value, self.describe(value)),
                                                'R 0x%02x' % value, '%02X' % value]])
            self.put(ss, es, self.out_python, ['READ', value, self.levels(value)])

    # The datasheet's write mode: the outputs take a byte written as its
    # acknowledge clock pulse ends. The i2c decoder gives that pulse's rising
    # edge (ss) and the bit period (es - ss): its falling edge is taken half
    # a period after the rise.
    def written(self, ss, es, acknowledged):
        byte, self.byte = self.byte, None
        if not acknowledged:
            self.put(self.byte_ss, es, self.out_ann, [2, ['Byte 0x%02x not acknowledged' % byte, 'NACK']])
            return
        latched = ss + (es - ss) // 2
        self.put(self.byte_ss, latched, self.out_ann, [0, ['Write 0x%02x: %s' % (byte, self.describe(byte)),
                                                            'W 0x%02x' % byte, '%02X' % byte]])
        self.put(self.byte_ss, latched, self.out_python, ['WRITE', byte, self.levels(byte)])
