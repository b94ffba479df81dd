#!/bin/sh
# The one-line deployment on port 8080: from the site folder, one stdhttpd per
# connection, run as the unprivileged user stdhttpd (socat itself must start
# as root to switch to it).
cd /var/www/stdhttpd || exit 1
exec socat TCP-LISTEN:8080,reuseaddr,fork EXEC:/usr/sbin/stdhttpd,su=stdhttpd
