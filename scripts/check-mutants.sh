#!/usr/bin/env bash
# Every deliberate fault of scripts/mutants.txt must still match its code: each entry's file must exist
# and hold the entry's exact text once and only once. Cheap, so that a stale table shows up at once
# rather than aborting a long mutation run halfway.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 - scripts/mutants.txt <<'PY'
import os, re, sys
lines = open(sys.argv[1]).read().splitlines()
bad, names = [], set()
for line in lines:
    if not line.strip() or line.startswith("#"):
        continue
    fields = line.split("#")
    if len(fields) < 6:
        bad.append(f"{fields[0]}: malformed entry")
        continue
    name, path, text = fields[0], fields[1], fields[2].replace("\\n", "\n")
    if name in names:
        bad.append(f"{name}: named twice")
    names.add(name)
    if not os.path.isfile(path):
        bad.append(f"{name}: no file {path}")
        continue
    count = open(path).read().count(text)
    if count != 1:
        bad.append(f"{name}: {path} holds its text {count} times: {text!r}")
for problem in bad:
    print("check-mutants:", problem)
print(f"check-mutants: {len(names)} faults, {len(bad)} stale")
sys.exit(1 if bad else 0)
PY
