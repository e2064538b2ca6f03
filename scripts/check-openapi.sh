#!/usr/bin/env bash
# Lints docs/openapi.json, the API's description that tarpon-web serves,
# with a maintained OpenAPI linter: Redocly's CLI from the npm registry
# (Debian packages none), installed once into build-openapi-lint/ at a
# fixed version. Its rules are docs/redocly.yaml. Fails on any error the
# linter reports; neither telemetry nor an update check leaves the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
version=2.77.0
tools=build-openapi-lint
lint="$tools/node_modules/.bin/redocly"
installed="$tools/node_modules/@redocly/cli/package.json"
command -v npm >/dev/null || scripts/install-deps.sh npm
if ! grep -qs "\"version\": \"$version\"" "$installed"; then
  npm install --no-save --no-audit --no-fund --loglevel=error \
    --prefix "$tools" "@redocly/cli@$version" >/dev/null
fi
REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true \
  "$lint" lint --config docs/redocly.yaml docs/openapi.json
