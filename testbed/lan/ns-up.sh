#!/bin/sh
# Runs inside a LAN namespace (via `ip netns exec NS`): turns IPv6 off before
# any link comes up (no router solicitations or DAD probes leave the box),
# brings lo and eth0 up with ADDRESS/PREFIX, then execs the rest of the
# command line, if any (the box simulator).
# usage: ns-up.sh ADDRESS/PREFIX [command args...]
set -e
cidr="$1"
shift
echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6
echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6
ip -batch - <<EOF
link set lo up
addr add $cidr dev eth0
link set eth0 up
EOF
if [ $# -gt 0 ]; then
    exec "$@"
fi
