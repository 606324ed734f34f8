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

# The `printer` of section [sitef] (keys without regard to case, as the service reads them).
ini_printer() {
  awk -F= '{ sub(/\r$/, "") }
    /^[ \t]*\[/ { section = tolower($0); gsub(/[][ \t]/, "", section); next }
    section == "sitef" && tolower($1) ~ /^[ \t]*printer[ \t]*$/ { value = substr($0, index($0, "=") + 1) }
    END { gsub(/^[ \t]+|[ \t]+$/, "", value); print value }' "$ini"
}
demo_printer=NorvaneDemoPDF
SUDO=""
[[ $(id -u) -ne 0 ]] && SUDO="sudo"
# CUPS-PDF expands ${USER} to the user who printed: the service's, that is this script's user.
# Debian's AppArmor profile of cupsd lets CUPS-PDF write under /var/spool/cups-pdf/.
print_dir="/var/spool/cups-pdf/$(id -un)"
printer=$(ini_printer)
demo_args=()
if [[ -z "$printer" || "${printer,,}" == "${demo_printer,,}" ]]; then
  if scripts/demo-printer.sh "$demo_printer" '/var/spool/cups-pdf/${USER}'; then
    if [[ -z "$printer" ]]; then
      # Into section [sitef], right under its header, in the file's own line ends.
      awk -v line="printer=$demo_printer" '{ print } /^[ \t]*\[[ \t]*[sS][iI][tT][eE][fF][ \t]*\]/ && !done {
        print line (/\r$/ ? "\r" : ""); done = 1 }' "$ini" > "$ini.new" && mv "$ini.new" "$ini"
      echo "Printer: $demo_printer written as printer in $ini"
    fi
    # Made now, so that the demo back-end can watch it before the first receipt is printed.
    [[ -d "$print_dir" ]] || ${SUDO:-} install -d -m 0700 -o "$(id -u)" -g "$(id -g)" "$print_dir"
    demo_args=(--print-dir "$print_dir")
  else
    echo "Printer: no PDF printer could be set up (see above); \"Imprimir comprovante\" will say what to set." >&2
  fi
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
