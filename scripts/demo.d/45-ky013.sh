# The thermistor monitor: the KY-013 module warmed from 15 C to 45 C over 6
# seconds, as a finger on it would, a reading every half second.
section "ky013: the thermistor module warmed from 15 C to 45 C"
vboard_show --speed 2 --ntc 0=ramp:15C..45C:6 --lines 7 ky013
