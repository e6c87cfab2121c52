# adc_test on channel 6, whose input is turned up between passes; then with
# no ADC on the board.
section "adc_test: channel 6 of the IIO ADC, once a second, in millivolts"
vboard_show --adc 6=512,1024,2048,4095 --lines 10 -- adc_test 6
vboard_show --fault absent=/sys/bus/iio/devices/iio:device0 --lines 6 -- adc_test 6
