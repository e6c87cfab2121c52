# The calculator is a PC program: it runs on its own, fed through a pipe, so
# the typed answers do not appear among the prompts as they would on a terminal.
section "calculator: 32-bit integer arithmetic at the console"

# calculate 'INPUT': the calculator fed INPUT (printf escapes).
calculate() {
  printf '\n$ printf '\''%s'\'' | calculator\n' "$1"
  # shellcheck disable=SC2059
  printf "$1" | "$bin/calculator/calculator" || printf '(exit status %d)\n' "$?"
}

calculate '12\n*\n-7\n'
calculate '2147483647 + 1\n'
calculate '7 / 0\n'
