#!/usr/bin/env bash
# Fails when a catalogue of tarpon-web (web/assets/i18n/*.json) lacks a key
# the English one has, has one it lacks, or holds anything but an object of
# strings. Names the catalogue and the keys.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh python3
python3 - web/assets/i18n <<'PYTHON'
import json, pathlib, sys

folder = pathlib.Path(sys.argv[1])
def keys(path):
    texts = json.loads(path.read_text(encoding="utf-8"))
    if not isinstance(texts, dict) or not all(
            isinstance(v, str) for v in texts.values()):
        sys.exit("catalogues: %s is no object of strings" % path)
    return set(texts)

english = keys(folder / "en.json")
status = 0
for path in sorted(folder.glob("*.json")):
    have = keys(path)
    for what, names in (("lacks", english - have), ("has extra", have - english)):
        if names:
            print("catalogues: %s %s %s" % (path, what, ", ".join(sorted(names))),
                  file=sys.stderr)
            status = 1
if status == 0:
    print("catalogues: every catalogue has the English one's keys")
sys.exit(status)
PYTHON
