# The LED fader: each duty cycle written drawn as a bar, through the wrap
# from full brightness back to dark at 2.55 s, until SIGINT stops it.
section "pwm_led_mraa: an LED faded by PWM pin 72, stopped by SIGINT"
vboard_show --sigint-after 3 -- pwm_led_mraa
