#!/usr/bin/env bash
# Set-up, build, and run the service from build/service/ with the stand-in CliSiTef library
# (dll/ of that folder) and the demo sales back-end, both in the foreground; prints the
# address of the demo page. The service's port comes from build/service/SvcNorvaneSiTef.ini
# (section sitef, key server_port; a first run writes 8443 there so that no root privilege is
# needed); the demo's port is DEMO_PORT (default 8080). Ctrl+C stops both.
#
# Printing works out of the box: with no `printer` in that file, a PDF printer is set up
# (scripts/demo-printer.sh: Debian's CUPS-PDF, the CUPS scheduler started when it is not
# running) and named there; the demo page then links to the PDF of each receipt it printed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ini=build/service/SvcNorvaneSiTef.ini
[[ -f "$ini" ]] || printf '[sitef]\r\nserver_port=8443\r\npdv_number=1\r\n' > "$ini"
export LC_TIME="${LC_TIME:-pt_BR.UTF-8}"

# CUPS-PDF expands ${USER} to the user who printed: the service's, that is this script's user.
# Debian's AppArmor profile of cupsd lets CUPS-PDF write under /var/spool/cups-pdf/.
print_dir="/var/spool/cups-pdf/$(id -un)"
demo_args=()
status=0
scripts/demo-printer.sh --ini "$ini" NorvaneDemoPDF '/var/spool/cups-pdf/${USER}' || status=$?
if (( status == 0 )); then
  # Made now, so that the demo back-end can watch it before the first receipt is printed.
  if [[ ! -d "$print_dir" ]]; then
    SUDO=""
    [[ $(id -u) -ne 0 ]] && SUDO="sudo"
    $SUDO install -d -m 0700 -o "$(id -u)" -g "$(id -g)" "$print_dir" || true
  fi
  demo_args=(--print-dir "$print_dir")
elif (( status != 3 )); then
  echo "Printer: no PDF printer could be set up (see above); \"Imprimir comprovante\" will say what to set." >&2
fi

build/service/SvcNorvaneSiTef &
service=$!
node web/demo/server.mjs --service-dir build/service --port "${DEMO_PORT:-8080}" "${demo_args[@]+"${demo_args[@]}"}" &
demo=$!
stop() { kill "$demo" "$service" 2>/dev/null || true; wait "$demo" "$service" 2>/dev/null || true; }
trap stop EXIT
trap 'exit 0' INT TERM
echo "Service and demo starting; Ctrl+C stops both."
# Either one ending ends both: a demo without its service (or the reverse) is no use.
wait -n "$service" "$demo"
