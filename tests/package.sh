#!/usr/bin/env bash
# Builds the Debian package with `make package`, checks its file list and
# lintian's verdict, and serves the example site with the binary it holds.
# Usage: package.sh SOURCE_DIR
set -uo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() {  # check NAME ACTUAL EXPECTED
  if [ "$2" == "$3" ]; then passed=$((passed + 1))
  else failed=$((failed + 1)); printf 'FAIL %s\n  got:  %q\n  want: %q\n' "$1" "$2" "$3"; fi
}
for tool in dpkg-deb lintian; do
  command -v $tool >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done

make -C "$src" package PACKAGE_BUILD="$work/build" >"$work/make.log" 2>&1 || { cat "$work/make.log"; exit 1; }
deb=$(ls "$work"/build/stdhttpd_*.deb)
echo "built ${deb##*/}"

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
check "file list" "$files" "$(sort <<'LIST'
./lib/systemd/system/stdhttpd.socket
./lib/systemd/system/stdhttpd@.service
./usr/sbin/stdhttpd
./usr/share/doc/stdhttpd/changelog.gz
./usr/share/doc/stdhttpd/copyright
./usr/share/doc/stdhttpd/example/password.txt
./usr/share/doc/stdhttpd/example/requests.txt
./usr/share/doc/stdhttpd/example/wwwroot/index.html
./usr/share/doc/stdhttpd/example/wwwroot/logo.png
./usr/share/doc/stdhttpd/example/wwwroot/secret/note.txt
./usr/share/doc/stdhttpd/example/wwwroot/style.css
./usr/share/doc/stdhttpd/xinetd/stdhttpd
./usr/share/lintian/overrides/stdhttpd
./usr/share/man/man8/stdhttpd.8.gz
LIST
)"
check "maintainer scripts" "$(dpkg-deb -I "$deb" | grep -oE '(postinst|postrm|preinst|prerm)' | sort | tr '\n' ' ')" "postinst postrm "

dpkg-deb -x "$deb" "$work/root"
check "units start the packaged binary" \
  "$(grep -h '^ExecStart=' "$work"/root/lib/systemd/system/*)" "ExecStart=/usr/sbin/stdhttpd"
check "static position-independent binary" \
  "$(file -b "$work/root/usr/sbin/stdhttpd" | grep -o 'static-pie linked')" "static-pie linked"

site="$work/root/usr/share/doc/stdhttpd/example"
answers=$(cd "$site" && "$work/root/usr/sbin/stdhttpd" < requests.txt | tr -d '\r' | grep -a '^HTTP/1.1' | cut -c10-12 | sort | tr '\n' ' ')
check "serves the example" "$answers" "200 200 200 401 401 401 404 "

verdict=$(lintian "$deb" 2>/dev/null)
echo "lintian: ${verdict:-no tags}"
check "lintian: no errors or warnings" "$(grep -cE '^(E|W):' <<<"$verdict")" 0

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
