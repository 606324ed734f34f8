#!/usr/bin/env bash
# Set-up, build, and run the service from build/service/ with the stand-in CliSiTef library
# (dll/ of that folder) and the demo sales back-end, both in the foreground; prints the
# address of the demo page. The service's port comes from build/service/SvcNorvaneSiTef.ini
# (section sitef, key server_port; a first run writes 8443 there so that no root privilege is
# needed); the demo's port is DEMO_PORT (default 8080). Ctrl+C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ini=build/service/SvcNorvaneSiTef.ini
[[ -f "$ini" ]] || printf '[sitef]\r\nserver_port=8443\r\npdv_number=1\r\n' > "$ini"
export LC_TIME="${LC_TIME:-pt_BR.UTF-8}"

build/service/SvcNorvaneSiTef &
service=$!
node web/demo/server.mjs --service-dir build/service --port "${DEMO_PORT:-8080}" &
demo=$!
stop() { kill "$demo" "$service" 2>/dev/null || true; wait "$demo" "$service" 2>/dev/null || true; }
trap stop EXIT
trap 'exit 0' INT TERM
echo "Service and demo starting; Ctrl+C stops both."
# Either one ending ends both: a demo without its service (or the reverse) is no use.
wait -n "$service" "$demo"
