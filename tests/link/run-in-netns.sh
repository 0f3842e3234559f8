#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a command in a new private network namespace in which the loopback
# interface is the only one, and up. Exits 77 (reported as skipped) when this
# machine does not allow creating one.
if ! unshare -n true 2>/dev/null; then
    echo "SKIP: cannot create a private network namespace here (unshare -n not permitted)"
    exit 77
fi
# Without `ip`, the test brings lo up itself.
exec unshare -n sh -c 'ip link set lo up 2>/dev/null; exec "$@"' sh "$@"
