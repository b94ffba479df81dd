#!/usr/bin/env bash
# Builds the Debian package with `make package`, checks its file list, its
# licence, lintian's verdict and that a second build is the same to the byte,
# and serves the example site with the binary it holds. As root, it also
# installs the package, enables the socket and purges the package.
# Usage: package.sh SOURCE_DIR
set -uo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/check.sh"
need dpkg-deb
need lintian

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
./usr/share/doc/stdhttpd/examples/README.md
./usr/share/doc/stdhttpd/examples/container/Containerfile
./usr/share/doc/stdhttpd/examples/kubernetes/stdhttpd.yaml
./usr/share/doc/stdhttpd/examples/site/password.txt
./usr/share/doc/stdhttpd/examples/site/requests.txt
./usr/share/doc/stdhttpd/examples/site/wwwroot/index.html
./usr/share/doc/stdhttpd/examples/site/wwwroot/logo.png
./usr/share/doc/stdhttpd/examples/site/wwwroot/secret/note.txt
./usr/share/doc/stdhttpd/examples/site/wwwroot/style.css
./usr/share/doc/stdhttpd/examples/socat.sh
./usr/share/doc/stdhttpd/examples/systemd/stdhttpd.socket
./usr/share/doc/stdhttpd/examples/systemd/stdhttpd@.service
./usr/share/doc/stdhttpd/examples/tcpserver/run
./usr/share/doc/stdhttpd/examples/tls/socat-tls.sh
./usr/share/doc/stdhttpd/examples/xinetd/stdhttpd
./usr/share/lintian/overrides/stdhttpd
./usr/share/man/man8/stdhttpd.8.gz
LIST
)"
check "maintainer scripts" "$(dpkg-deb -I "$deb" | grep -oE '(postinst|postrm|preinst|prerm)' | sort | tr '\n' ' ')" "postinst postrm prerm "

make -C "$src" package PACKAGE_BUILD="$work/again" >"$work/make.log" 2>&1 || { cat "$work/make.log"; exit 1; }
check "a second build is the same to the byte" "$(cmp "$deb" "$work"/again/stdhttpd_*.deb && echo same)" same

dpkg-deb -x "$deb" "$work/root"
check "the MIT licence" "$(grep -c '^License: Expat$' "$work/root/usr/share/doc/stdhttpd/copyright")" 2
check "units start the packaged binary" \
  "$(grep -h '^ExecStart=' "$work"/root/lib/systemd/system/*)" "ExecStart=/usr/sbin/stdhttpd"
check "static position-independent binary" \
  "$(file -b "$work/root/usr/sbin/stdhttpd" | grep -o 'static-pie linked')" "static-pie linked"

site="$work/root/usr/share/doc/stdhttpd/examples/site"
answers=$(cd "$site" && "$work/root/usr/sbin/stdhttpd" < requests.txt | tr -d '\r' | grep -a '^HTTP/1.1' | cut -c10-12 | sort | tr '\n' ' ')
check "serves the example" "$answers" "200 200 200 401 401 401 404 "

verdict=$(lintian "$deb" 2>/dev/null)
echo "lintian: ${verdict:-no tags}"
check "lintian: no errors or warnings" "$(grep -cE '^(E|W):' <<<"$verdict")" 0

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: installing and purging the package needs root"
else
  dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; failed=$((failed + 1)); }
  systemctl enable stdhttpd.socket >/dev/null 2>&1
  check "enabled" "$(readlink /etc/systemd/system/sockets.target.wants/stdhttpd.socket)" \
    /lib/systemd/system/stdhttpd.socket
  check "the site folder" "$(stat -c '%U:%G %a' /var/www/stdhttpd/password.txt)" "root:stdhttpd 640"
  dpkg --purge stdhttpd >>"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; failed=$((failed + 1)); }
  check "purge leaves nothing under /etc/systemd" "$(find /etc/systemd -name '*stdhttpd*')" ""
  check "purge keeps the site and the user" \
    "$(test -d /var/www/stdhttpd/wwwroot && id -u stdhttpd >/dev/null && echo kept)" kept
fi

summary package
