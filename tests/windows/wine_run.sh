#!/usr/bin/env bash
# Runs a Windows program under Wine: the test emulator of the windows preset.
# Usage: wine_run.sh PROGRAM.exe [ARGS...]
#
# WINEPREFIX must be set (the tests use a fresh one under the build folder,
# never the user's ~/.wine). WINEDEBUG defaults to -all; Wine's own messages
# go to stderr, the program's output to stdout, untouched.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix the tests run in}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko install prompts in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Debian's 64-bit loader is not on PATH; the /usr/bin/wine wrapper wants the
# 32-bit one and prints a hint without it.
if [ -x /usr/lib/wine/wine64 ]; then
  loader=/usr/lib/wine/wine64
elif command -v wine64 >/dev/null; then
  loader=$(command -v wine64)
elif command -v wine >/dev/null; then
  loader=$(command -v wine)
else
  echo "wine_run.sh: no Wine loader found (Debian packages wine and wine64)" >&2
  exit 127
fi
exec "$loader" "$@"
