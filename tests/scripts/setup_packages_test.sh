#!/usr/bin/env bash
# scripts/setup's package step against stub dpkg-query, dpkg and apt-get:
# on a machine that has never heard of the packages it must ask apt-get for
# every one it checked (the board's armhf ones included), stop with apt's
# own message when apt-get fails, and leave apt-get alone on a machine that
# has them all.
set -euo pipefail
setup=$1
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT

# machine KIND APT: writes the stubs. KIND is "fresh" (dpkg knows none of
# the packages, no armhf architecture) or "ready" (all installed); APT is
# "works" or "fails". Every call is logged to $stubs/calls.
machine() {
  local kind=$1 apt=$2
  : >"$stubs/calls"
  cat >"$stubs/dpkg-query" <<STUB
#!/bin/bash
shift 2   # -W -f=FORMAT
for p in "\$@"; do echo "dpkg-query \$p" >>"$stubs/calls"; done
if [ $kind = fresh ]; then
  for p in "\$@"; do echo "dpkg-query: no packages found matching \$p" >&2; done
  exit 1
fi
for p in "\$@"; do
  case \$p in *:*) echo "\$p installed" ;; *) echo "\$p:amd64 installed" ;; esac
done
STUB
  cat >"$stubs/dpkg" <<STUB
#!/bin/bash
echo "dpkg \$*" >>"$stubs/calls"
case \$1 in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) [ $kind = ready ] && echo armhf ;;
esac
exit 0
STUB
  cat >"$stubs/apt-get" <<STUB
#!/bin/bash
echo "apt-get \$*" >>"$stubs/calls"
if [ $apt = fails ] && [[ " \$* " == *" install "* ]]; then
  echo "E: Unable to locate package \${@: -1}" >&2
  exit 100
fi
exit 0
STUB
  printf '#!/bin/bash\nexec "$@"\n' >"$stubs/sudo"
  chmod +x "$stubs"/*
}

run_setup() {
  PATH="$stubs:$PATH" "$setup" --packages-only >"$stubs/out" 2>"$stubs/err"
}

failures=0
fail() { echo "FAIL: $*"; echo "--- calls"; cat "$stubs/calls"; echo "--- stderr"; cat "$stubs/err"; failures=$((failures + 1)); }

# A fresh machine: every package set-up checks is asked of apt-get.
machine fresh works
if ! run_setup; then
  fail "fresh machine: set-up failed"
else
  checked=$(sed -n 's/^dpkg-query //p' "$stubs/calls" | sort -u)
  asked=$(sed -nE 's/^apt-get( .*)? install .*--no-install-recommends //p' "$stubs/calls" | tr ' ' '\n' | sort -u)
  [ -n "$checked" ] || fail "fresh machine: no package was checked"
  grep -q ':armhf$' <<<"$checked" || fail "fresh machine: the board's armhf packages were not checked"
  missing=$(comm -23 <(echo "$checked") <(echo "$asked"))
  [ -z "$missing" ] || fail "fresh machine: never asked apt-get for: $missing"
  grep -qx 'dpkg --add-architecture armhf' "$stubs/calls" || fail "fresh machine: armhf architecture not added"
fi

# apt-get fails: set-up stops there, with apt's message, and installs nothing more.
machine fresh fails
if run_setup; then
  fail "failing apt-get: set-up reported success"
else
  grep -q '^E: Unable to locate package' "$stubs/err" || fail "failing apt-get: apt's message is not shown"
  [ "$(grep -cE '^apt-get( .*)? install ' "$stubs/calls")" -eq 1 ] || fail "failing apt-get: set-up went on installing"
fi

# Everything installed: apt-get is never called.
machine ready works
if ! run_setup; then
  fail "ready machine: set-up failed"
elif grep -q '^apt-get' "$stubs/calls"; then
  fail "ready machine: apt-get was called"
fi

exit $((failures > 0))
