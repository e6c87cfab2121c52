# The LED fader: each duty cycle written drawn as a bar, a few steps of its
# ramp at a real board's pace, until SIGINT stops it and it turns the
# output off.
section "pwm_led_mraa: an LED faded by PWM pin 72, stopped by SIGINT"
vboard_show --speed 1 --sigint-after 0.5 pwm_led_mraa
