#!/usr/bin/env bash
# Creates a fresh Wine prefix for the Windows tests, or lets it shut down.
# Usage: wine_prefix.sh fresh|settle PREFIX
#   fresh   stops the prefix's own Wine server if one is left, removes the
#           prefix and creates it anew (about 5 s)
#   settle  waits until the prefix's Wine server has ended by itself
set -euo pipefail
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
export WINEDLLOVERRIDES=mscoree,mshtml=
here=$(dirname "$0")

server=/usr/lib/wine/wineserver
[ -x "$server" ] || server=$(command -v wineserver)

case "$action" in
  fresh)
    if [ -d "$WINEPREFIX" ]; then
      # Only this prefix's server: -k reaches the processes of this prefix.
      "$server" -k 2>/dev/null || true
      rm -rf "$WINEPREFIX"
    fi
    mkdir -p "$(dirname "$WINEPREFIX")"
    "$here/wine_run.sh" wineboot --init >/dev/null 2>&1
    [ -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] ||
      { echo "wine_prefix.sh: wineboot made no prefix in $WINEPREFIX" >&2; exit 1; }
    ;;
  settle)
    timeout 60 "$server" -w
    ;;
  *)
    echo "usage: $0 fresh|settle PREFIX" >&2
    exit 2
    ;;
esac
