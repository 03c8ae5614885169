#!/usr/bin/env bash
# Installs what is needed, builds the helper bundle and runs its main job: serving calls. The terminal
# client starts the helper (detached, on its own sockets) when none listens, prints its info, and, when
# this runs in a terminal, opens a login shell through it with this session's variables (DISPLAY,
# WAYLAND_DISPLAY, DBUS_SESSION_BUS_ADDRESS, the locale, TERM, ...). Left alone, the helper exits 60 s
# after its last client.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target velmora_helper velmora-shell

helper="build/Velmora Helper.app/Contents/MacOS/Velmora Helper"
# The helper serves only signed clients: the terminal client runs from its signed bundle, beside the
# helper's bundle, which is the one it starts.
client="build/Velmora Shell.app/Contents/MacOS/velmora-shell"
"$helper" --version
# A login session provides XDG_RUNTIME_DIR; a bare root shell may not.
if [[ -z "${XDG_RUNTIME_DIR:-}" ]]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
fi
"$client" info
echo
if [[ -t 0 && -t 1 ]]; then
  echo "Opening a shell through the helper; type exit to leave."
  exec "$client"
fi
