#!/bin/sh
# TLS on port 8443: socat ends TLS for each connection and runs one stdhttpd
# behind it, from the site folder, as the unprivileged user stdhttpd. The
# certificate chain and its key are PEM files readable by root only.
cd /var/www/stdhttpd || exit 1
exec socat OPENSSL-LISTEN:8443,reuseaddr,fork,cert=/etc/stdhttpd/tls/cert.pem,key=/etc/stdhttpd/tls/key.pem,verify=0 \
  EXEC:/usr/sbin/stdhttpd,su=stdhttpd
