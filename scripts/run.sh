#!/usr/bin/env bash
# Installs what is needed, builds the helper bundle and runs its main job: serving calls. The helper
# starts on its own sockets, answers an info call from the terminal client, and, when this runs in a
# terminal, opens a login shell through it. Left alone, the helper exits 60 s after its last client.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target velmora_helper velmora-shell

helper="build/Velmora Helper.app/Contents/MacOS/Velmora Helper"
# The helper serves only signed clients: the terminal client runs from its signed bundle.
client="build/Velmora Shell.app/Contents/MacOS/velmora-shell"
"$helper" --version
# A login session provides XDG_RUNTIME_DIR; a bare root shell may not.
if [[ -z "${XDG_RUNTIME_DIR:-}" ]]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
fi
socket="$XDG_RUNTIME_DIR/group.com.norwick.Velmora.helper"
"$helper" --serve &
for _ in $(seq 100); do [[ -S "$socket" ]] && break; sleep 0.05; done
"$client" info --socket "$socket"
echo
if [[ -t 0 && -t 1 ]]; then
  echo "Opening a shell through the helper; type exit to leave."
  "$client" --socket "$socket"
fi
