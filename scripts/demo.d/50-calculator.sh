# The calculator is a PC program, run here on the board as any program can
# be, fed through a pipe: the typed answers do not appear among the prompts
# as they would on a terminal.
section "calculator: 32-bit integer arithmetic at the console"

# calculate 'INPUT': the calculator fed INPUT (printf escapes).
calculate() {
  printf '\n%s$ printf '\''%s'\'' | vboard run -q calculator%s\n' "$bold" "$1" "$plain"
  # shellcheck disable=SC2059
  printf "$1" | vboard run -q calculator || printf '(exit status %d)\n' "$?"
}

calculate '12\n*\n-7\n'
calculate '2147483647 + 1\n'
calculate '7 / 0\n'
