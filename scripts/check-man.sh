#!/usr/bin/env bash
# Fails when a manual page of man/ gives a warning: groff with every warning
# on, and man's own check when man is installed. Names the page and prints
# the warnings.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
status=0
for page in man/*.[1-8]; do
  warnings=$(groff -ww -z -man "$page" 2>&1) || warnings+=$'\ngroff failed'
  if command -v man >/dev/null; then
    more=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) ||
      more+=$'\nman failed'
    warnings+=${more:+$'\n'}$more
  fi
  if [[ -n "${warnings//$'\n'/}" ]]; then
    echo "man: $page:" >&2
    echo "$warnings" | sed '/^$/d' >&2
    status=1
  fi
done
[[ $status -eq 0 ]] && echo "man: every manual page renders without a warning"
exit $status
