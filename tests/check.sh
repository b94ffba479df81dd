# What the shell checks share: check compares, need requires a command, and
# summary says how many passed and fails if any did not.
passed=0 failed=0
check() {  # check NAME ACTUAL EXPECTED
  if [ "$2" == "$3" ]; then passed=$((passed + 1))
  else failed=$((failed + 1)); printf 'FAIL %s\n  got:  %q\n  want: %q\n' "$1" "$2" "$3"; fi
}
need() { command -v "$1" >/dev/null || { echo "FAIL: $1 is not installed"; exit 1; }; }
summary() {  # summary NAME
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
