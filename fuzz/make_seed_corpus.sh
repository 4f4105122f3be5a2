#!/usr/bin/env bash
# Makes the fuzzer's seed corpus with brelpack itself: a few archives from small sets of files.
# Usage: make_seed_corpus.sh path/to/brelpack corpus-folder
set -euo pipefail
brelpack=$(readlink -f "$1")
corpus=$(mkdir -p "$2" && readlink -f "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir -p sub/deeper
printf 'abc' > a.txt
: > empty
printf 'hello, world\n' > 'sub/with space'
head -c 700 /dev/zero | tr '\0' 'z' > sub/deeper/zzz
printf '%%s%%n' > 'per%cent'

pack() {
  # No controlling terminal, so the key wait returns at once.
  setsid -w "$brelpack" "$corpus/$1" "${@:2}" < /dev/null > /dev/null
}
pack one.viv a.txt
pack two.viv a.txt empty
pack nested.viv sub/deeper/zzz 'sub/with space' a.txt
pack duplicates.viv a.txt a.txt empty empty
pack mixed.viv 'per%cent' empty sub/deeper/zzz ./a.txt
