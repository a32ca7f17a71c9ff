# shellcheck shell=bash
# Sourced by bench/delta.sh and bench/segments.sh: the namespaces their links
# run through, client (this namespace) -- router -- server, with nfq_delay
# built for the router's FORWARD chain (NFQUEUE; this kernel has no netem).
#   make_routed_link ROUTER SERVER VETH A B DIR
# A and B are the first three octets of the two /30 nets: the client is A.1,
# the router A.2 and B.1, the server B.2. Sets routed_skip to the reason when
# the link cannot be made (as root only: the caller checks).
make_routed_link() {
  local router=$1 server=$2 veth=$3 a=$4 b=$5 dir=$6
  routed_skip=
  if ip -o addr show | grep -Fq -e " $a." -e " $b."; then
    routed_skip="$a.0/30 or $b.0/30 is already in use here"
    return
  fi
  gcc -O2 -o "$dir/nfq_delay" "$top/bench/nfq_delay.c" -lnetfilter_queue -lnfnetlink ||
    { routed_skip="cannot build bench/nfq_delay.c"; return; }
  if ! { ip netns add "$router" && ip netns add "$server"; } 2>/dev/null; then
    routed_skip="cannot make network namespaces"
    return
  fi
  if ! { ip link add "${veth}c" type veth peer name "${veth}r" netns "$router" &&
    ip -n "$router" link add "${veth}s" type veth peer name "${veth}n" netns "$server" &&
    ip addr add "$a.1/30" dev "${veth}c" && ip link set "${veth}c" up &&
    ip -n "$router" addr add "$a.2/30" dev "${veth}r" && ip -n "$router" link set "${veth}r" up &&
    ip -n "$router" addr add "$b.1/30" dev "${veth}s" && ip -n "$router" link set "${veth}s" up &&
    ip -n "$server" addr add "$b.2/30" dev "${veth}n" && ip -n "$server" link set "${veth}n" up &&
    ip -n "$server" link set lo up && ip -n "$server" route add default via "$b.1" &&
    ip route add "$b.0/30" via "$a.2" &&
    ip netns exec "$router" sysctl -qw net.ipv4.ip_forward=1; } 2>/dev/null; then
    routed_skip="cannot set up the veth pairs"
    return
  fi
}
