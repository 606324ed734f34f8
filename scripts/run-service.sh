#!/usr/bin/env bash
# Set-up, build and run the service in the foreground from build/service/.
# The port comes from build/service/SvcNorvaneSiTef.ini (section sitef, key server_port);
# a first run writes 8443 there so that no root privilege is needed. Ctrl+C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ini=build/service/SvcNorvaneSiTef.ini
[[ -f "$ini" ]] || printf '[sitef]\r\nserver_port=8443\r\npdv_number=1\r\n' > "$ini"
export LC_TIME="${LC_TIME:-pt_BR.UTF-8}"
exec build/service/SvcNorvaneSiTef
