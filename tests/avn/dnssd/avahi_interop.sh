#!/usr/bin/env bash
# Interoperability of our DNS-SD client and avn-sim's responder with avahi,
# a standard mDNS stack: our client finds and resolves what avahi publishes,
# and avahi finds and resolves avn-sim's adverts with their TXT records.
#
# Runs only inside a private network namespace (loopback and nothing else,
# as scripts/test makes it); avahi-daemon gets its own configuration and a
# private D-Bus, and everything started here is stopped again on exit.
#
# usage: avahi_interop.sh DNSSD_PROBE AVN_SIM
set -uo pipefail

probe="$1"
avn_sim="$2"

others=$(ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//' | grep -v '^lo$' | grep -v '^dnssd' || true)
if [ -n "$others" ]; then
  echo "skipped: not in a private network namespace (interfaces: $others)"
  exit 0
fi
for tool in avahi-daemon avahi-publish avahi-browse dbus-daemon; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAILED: $tool is not installed (scripts/setup installs it)"
    exit 1
  fi
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

# A bus of our own, open to everyone in this namespace's processes.
cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/dbus.log" 2>&1 &
pids+=($!)
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus"
for _ in $(seq 50); do
  [ -S "$work/bus" ] && break
  sleep 0.1
done

cat >"$work/avahi-daemon.conf" <<EOF
[server]
host-name=avahi-peer
domain-name=local
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
disallow-other-stacks=no
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-aaaa-on-ipv4=no
publish-a-on-ipv6=no
[reflector]
enable-reflector=no
[rlimits]
EOF
avahi-daemon -f "$work/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits \
  --no-proc-title >"$work/avahi.log" 2>&1 &
pids+=($!)
ready=0
for _ in $(seq 100); do
  if grep -q "Server startup complete" "$work/avahi.log"; then
    ready=1
    break
  fi
  sleep 0.1
done
if [ "$ready" -ne 1 ]; then
  echo "FAILED: avahi-daemon did not start"
  cat "$work/avahi.log"
  exit 1
fi

status=0

# 1. Our client finds what avahi publishes, also under a subtype (avahi
# takes only subtype labels that begin with "_").
avahi-publish -s --subtype=_Peer._sub._netaudio-cmc._udp "Avahi Unit" _netaudio-cmc._udp 8810 \
  "mf=Peer" "model=_0000000000000003" "id=0011223344556677" >"$work/publish.log" 2>&1 &
pids+=($!)
if "$probe" "_netaudio-cmc._udp,_Peer" "Avahi Unit" 10 >"$work/probe.log" 2>&1 &&
   grep -q "resolved Avahi Unit host avahi-peer.local. port 8810 .*mf=Peer model=_0000000000000003" "$work/probe.log"; then
  echo "ok: our client found and resolved avahi's advert"
else
  echo "FAILED: our client did not resolve avahi's advert"
  cat "$work/probe.log" "$work/publish.log"
  status=1
fi

# 2. avahi finds avn-sim's adverts, resolves them and reads their TXT.
"$avn_sim" --mdns --conmon-port 0 --cmm-port 0 --unit Interop-Unit \
  --device Interop-Acme,maker=Acme,model=4 --device Interop-Hex,maker=_x,model=1 \
  >"$work/sim.log" 2>&1 &
pids+=($!)
found=0
for _ in $(seq 10); do
  avahi-browse -r -t -p -k _netaudio-cmc._udp >"$work/browse.log" 2>&1
  if grep -q '^=;lo;IPv4;Interop-Unit;_netaudio-cmc._udp;local;Interop-Unit.local;127.0.0.1;8800;.*"mf=Vornix".*' "$work/browse.log" &&
     grep -q '"model=_0000000000000008"' "$work/browse.log" &&
     grep -q '^=;lo;IPv4;Interop-Acme;.*"mf=Acme"' "$work/browse.log"; then
    found=1
    break
  fi
  sleep 0.5
done
if [ "$found" -eq 1 ]; then
  echo "ok: avahi resolved avn-sim's adverts with their TXT records"
else
  echo "FAILED: avahi did not resolve avn-sim's adverts"
  cat "$work/browse.log" "$work/sim.log"
  status=1
fi
# A maker's subtype as avahi asks for it. avahi takes only labels that
# begin with "_", which a maker id written in hex has: "_x" is "_5f78".
if avahi-browse -t -p -k _5f78._sub._netaudio-cmc._udp >"$work/sub.log" 2>&1 &&
   grep -q 'Interop-Hex' "$work/sub.log" && ! grep -q 'Interop-Unit' "$work/sub.log"; then
  echo "ok: avahi's subtype browse found only that maker's device"
else
  echo "FAILED: avahi's subtype browse"
  cat "$work/sub.log"
  status=1
fi

if [ "$status" -ne 0 ]; then
  echo "--- avahi-daemon log"
  cat "$work/avahi.log"
fi
exit $status
