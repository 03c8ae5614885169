#!/usr/bin/env bash
# Checks the agent's systemd units with systemd-analyze against a copy of the built bundle placed at
# its install location under a throw-away home.
set -euo pipefail
cd "$(dirname "$0")/.."
bundle="build/Velmora Helper.app"
[[ -d "$bundle" ]] || { echo "build the bundle first" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home/Library/Application Support/Velmora Helper" "$scratch/runtime"
cp -a "$bundle" "$scratch/home/Library/Application Support/Velmora Helper/"
units="$scratch/home/Library/Application Support/Velmora Helper/Velmora Helper.app/Contents/Library/systemd/user"
cp "$units"/* "$scratch/"
HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime" systemd-analyze verify --user \
  "$scratch/com.norwick.VelmoraHelper.socket" "$scratch/com.norwick.VelmoraHelper.service"
# Shells outlive the helper's stop, and uninstalling leaves no socket file.
grep -qx 'KillMode=process' "$scratch/com.norwick.VelmoraHelper.service"
grep -qx 'RemoveOnStop=yes' "$scratch/com.norwick.VelmoraHelper.socket"
echo "systemd units verified"
