#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs network_loss_check in a private network namespace whose loopback
# loses 5 % of UDP datagrams: with tc's netem where the kernel has it, else
# with an nftables rule dropping one received datagram in twenty at random.
#   network_loss.sh CHECK NOTES
set -euo pipefail
if [ -z "${VELORIN_LOSSY_NETNS:-}" ]; then
  exec env VELORIN_LOSSY_NETNS=1 unshare -n bash "$0" "$@"
fi
check="$1"
ip link set lo up
if tc qdisc add dev lo root netem loss 5% 2>/dev/null; then
  echo "loss: tc netem loss 5% on lo"
elif command -v nft >/dev/null; then
  nft add table inet velorin_loss
  nft add chain inet velorin_loss input '{ type filter hook input priority 0; }'
  nft add rule inet velorin_loss input meta l4proto udp numgen random mod 100 '<' 5 drop
  echo "loss: no netem in this kernel; nftables drops 5% of UDP datagrams on lo"
else
  echo "FAIL: neither tc netem nor nftables can make the link lossy"
  exit 1
fi
VELORIN_LOSS_NOTES="$2" exec "$check"
