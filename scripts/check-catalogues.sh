#!/usr/bin/env bash
# Fails when a catalogue of tarpon-web (web/assets/i18n/*.json) lacks a key
# the English one has, has one it lacks, holds anything but an object of
# strings, an empty text, a text whose {placeholders} differ from the
# English one's, or a "direction" other than ltr or rtl. Names the
# catalogue and the keys.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh python3
python3 - web/assets/i18n <<'PYTHON'
import json, pathlib, re, sys

folder = pathlib.Path(sys.argv[1])
def texts(path):
    texts = json.loads(path.read_text(encoding="utf-8"))
    if not isinstance(texts, dict) or not all(
            isinstance(v, str) for v in texts.values()):
        sys.exit("catalogues: %s is no object of strings" % path)
    return texts

def marks(text):
    return sorted(re.findall(r"\{[a-z]+\}", text))

english = texts(folder / "en.json")
status = 0
for path in sorted(folder.glob("*.json")):
    have = texts(path)
    problems = [("lacks", set(english) - set(have)),
                ("has extra", set(have) - set(english)),
                ("has empty", {k for k, v in have.items() if not v.strip()}),
                ("has other placeholders in",
                 {k for k in set(have) & set(english)
                  if marks(have[k]) != marks(english[k])}),
                ("has a direction neither ltr nor rtl in",
                 {"direction"} if have.get("direction") not in ("ltr", "rtl")
                 else set())]
    for what, names in problems:
        if names:
            print("catalogues: %s %s %s" % (path, what, ", ".join(sorted(names))),
                  file=sys.stderr)
            status = 1
if status == 0:
    print("catalogues: every catalogue has the English one's keys")
sys.exit(status)
PYTHON
