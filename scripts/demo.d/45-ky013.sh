# The thermistor monitor: a temperature sweep, one ADC reading per second.
section "ky013: thermistor readings and their temperatures"
vboard_show --adc 0=100,300,500,512,700,900,1000 --lines 7 -- ky013
