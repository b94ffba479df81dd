#!/bin/sh
# The one-line deployment: from the site folder, one stdhttpd per connection.
cd /srv/stdhttpd && exec socat TCP-LISTEN:8080,reuseaddr,fork EXEC:/usr/local/sbin/stdhttpd
