#!/usr/bin/env bash
# Holds the calls that servers made under qemu's -strace, once confined (after
# their seccomp call), against the list of permitted calls as the given cross
# compiler builds it. Fails naming each call that is not on the list.
# Usage: calls.sh LOG_DIR CROSS_COMPILER SOURCE_DIR
set -uo pipefail
# The logs are bytes, read whole: a locale's multibyte matching made it 4x slower.
export LC_ALL=C
logs=$1 cxx=$2 src=$3
. "$(dirname "$0")/check.sh"

# The list's call numbers, and those of the calls made, as that compiler's
# headers give them: a name it does not know stays a name, on no list.
permitted=$("$cxx" -std=c++20 -E -P -I "$src" "$src/sys/confine.cc" |
  grep -oE '\{ *[0-9]+ *, *check::' | grep -oE '[0-9]+' | sort -u)
# Each log's calls after its seccomp call, by name or, where qemu knows none, by number.
made=$(for f in "$logs"/*.log; do
  sed -n '/ seccomp(/,$p' "$f" | tail -n +2 | grep -oE '[0-9]+ [a-z0-9_]+\(|Unknown syscall [0-9]+'
done | sed -E 's/^Unknown syscall /number_/; s/^[0-9]+ //; s/\($//' | sort -u)
[ -n "$made" ] || { echo "FAIL: no call after confinement was recorded: run the arm64 cases"; exit 1; }
numbered=$(for call in $made; do
  case $call in number_*) echo "$call ${call#number_}" ;; *) echo "$call __NR_$call" ;; esac
done | "$cxx" -x c++ -E -P -include sys/syscall.h - | grep -v '^$')
refused=$(while read -r call n; do grep -qx "$n" <<<"$permitted" || echo "$call"; done <<<"$numbered")
echo "calls made once confined: $(echo $made)"
check "calls on the list" "$refused" ""
summary calls
