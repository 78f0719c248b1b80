# The namespace pair the real-path benchmarks run on; sourced, not run. Two network
# namespaces on one veth pair: the server's $s (192.0.2.10 on $ls, a default route to the
# client) and the client's $c (192.0.2.20 on $lc and the further addresses given), a private
# $home for Quellbox's settings, and a clean-up on exit that calls the script's own bench_stop
# (when it defines one) and removes it all. The sourcing script defines skip (says why and
# exits 0) first.
#
#   netns_pair TAG OFFLOAD_OFF [CLIENT_ADDRESS...]
#     TAG          a few letters for the names of the namespaces and links
#     OFFLOAD_OFF  the veth whose TSO is turned off, ls (the server's) or lc (the client's):
#                  it cuts segmentation-offload super-packets in software as a network card
#                  without TSO does
#   netns_settings NAME:PORT...   capped services (upload) in $home's settings file
#   ticks PID                     the process's CPU time in clock ticks (0 when it is gone)

netns_pair() {
  local tag=$1 offloadOff=$2 address
  shift 2
  s=qbx$tag-$$-s c=qbx$tag-$$-c ls=qbx${tag}s$$ lc=qbx${tag}c$$
  home=$(mktemp -d)
  trap netns_cleanup EXIT
  trap 'exit 130' INT TERM
  ip netns add "$s" 2>/dev/null || skip "cannot create network namespaces"
  ip netns add "$c"
  ip -n "$s" link add "$ls" type veth peer name "$lc" netns "$c" || skip "cannot create a veth pair"
  ip -n "$s" addr add 192.0.2.10/24 dev "$ls"
  for address in 192.0.2.20 "$@"; do ip -n "$c" addr add "$address/24" dev "$lc"; done
  ip -n "$s" link set "$ls" up; ip -n "$c" link set "$lc" up
  ip -n "$s" link set lo up; ip -n "$c" link set lo up
  ip -n "$s" route add default via 192.0.2.20
  local side=$s
  [[ ${!offloadOff} == "$lc" ]] && side=$c
  ip netns exec "$side" ethtool -K "${!offloadOff}" tso off >/dev/null 2>&1 ||
    skip "cannot turn TSO off on the veth (is ethtool installed?)"
}

netns_cleanup() {
  declare -F bench_stop >/dev/null && bench_stop
  ip netns del "$s" 2>/dev/null; ip netns del "$c" 2>/dev/null
  rm -rf "$home"
}

netns_settings() {
  local names= ports= flags= service
  for service in "$@"; do
    names+="<string>${service%%:*}</string>" ports+="<integer>${service##*:}</integer>" flags+="<true/>"
  done
  mkdir -p "$home/.config/Quellbox"
  cat >"$home/.config/Quellbox/Quellbox.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>servicesNameArray</key><array>$names</array>
<key>servicesPortArray</key><array>$ports</array>
<key>activatedULServices</key><array>$flags</array>
</dict></plist>
PLIST
}

ticks() { [[ -n ${1:-} && -r /proc/$1/stat ]] && awk '{print $14 + $15}' "/proc/$1/stat" || echo 0; }
