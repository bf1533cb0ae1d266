#!/bin/sh
# Runs an end-to-end test module in a private mount namespace with its own
# /run/pcscd, so that the pcscd it starts owns the daemon socket there.
# Usage: run_isolated.sh MODULE   (TAVIX_BIN names the tool)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p /run/pcscd
exec unshare --mount --propagation private sh -c '
  mount -t tmpfs tmpfs /run/pcscd &&
  cd "$1" && exec python3 -m unittest -v "$2"' sh "$here" "$1"
