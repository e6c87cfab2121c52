# adc_test on channel 6, whose input is turned up between passes, at a pass
# every half second; then with no ADC on the board, where each read fails
# and the program goes on.
section "adc_test: channel 6 of the IIO ADC, once a second, in millivolts"
vboard_show --speed 2 --adc 6=512,1024,2048,4095 --for 3.5 adc_test 6
vboard_show --fault absent=/sys/bus/iio/devices/iio:device0 --for 1.5 adc_test 6
