#!/usr/bin/env bash
# unpack_bundle.sh ARCHIVE DIR: the board bundle unpacked into a fresh DIR,
# as it reaches the board, for the suites' runs of the board build. Without
# the archive DIR stays empty, and those runs say so and skip.
set -euo pipefail
archive=$1 dir=$2
rm -rf "$dir"
mkdir -p "$dir"
if [ ! -f "$archive" ]; then
  echo "no board bundle at $archive: the board build's runs of the suites are skipped"
  exit 0
fi
# The archive holds one directory, named after the bundle.
tar -xzf "$archive" -C "$dir" --strip-components=1
echo "unpacked $(basename "$archive") into $dir"
