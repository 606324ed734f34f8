#!/usr/bin/env bash
# Sets up the demo's PDF printer: a CUPS queue on Debian's CUPS-PDF (printer-driver-cups-pdf)
# that writes every job as a PDF file into one folder, so that a receipt printed from the demo
# page can be opened there. Needs no network, and is safe to run again: it changes nothing
# that is already as wanted.
#
#   scripts/demo-printer.sh [--ini FILE] QUEUE OUTPUT_FOLDER [INSTANCE]
#
# With --ini, the service's configuration decides: when its section [sitef] names another
# printer nothing is set up (exit 3); when it names none, QUEUE is written there as `printer`.
# The scheduler is the one CUPS_SERVER names; without CUPS_SERVER it is the system's, started
# here when it is not running. CUPS-PDF reads the settings of the queue's instance from
# /etc/cups/cups-pdf-INSTANCE.conf (default instance "norvane-demo"). In OUTPUT_FOLDER,
# "${USER}" stands for the user who printed (CUPS-PDF expands it).
set -euo pipefail
ini=""
if [[ "${1:-}" == --ini ]]; then
  ini=$2
  shift 2
fi
if (( $# < 2 )); then
  echo "usage: $0 [--ini FILE] QUEUE OUTPUT_FOLDER [INSTANCE]" >&2
  exit 2
fi
queue=$1
out=$2
instance=${3:-norvane-demo}
ppd=/usr/share/ppd/cups-pdf/CUPS-PDF_noopt.ppd
backend=/usr/lib/cups/backend/cups-pdf
SUDO=""
[[ $(id -u) -ne 0 ]] && SUDO="sudo"

# The `printer` of section [sitef] (section and key without regard to case, as the service reads them).
ini_printer() {
  awk -F= '{ sub(/\r$/, "") }
    /^[ \t]*\[/ { section = tolower($0); gsub(/[][ \t]/, "", section); next }
    section == "sitef" && tolower($1) ~ /^[ \t]*printer[ \t]*$/ { value = substr($0, index($0, "=") + 1) }
    END { gsub(/^[ \t]+|[ \t]+$/, "", value); print value }' "$1"
}
printer=""
if [[ -n "$ini" ]]; then
  printer=$(ini_printer "$ini")
  if [[ -n "$printer" && "${printer,,}" != "${queue,,}" ]]; then
    echo "demo-printer: $ini names the printer $printer; no demo printer set up."
    exit 3
  fi
fi

if [[ ! -x "$backend" && ! -f "$backend" ]] || [[ ! -f "$ppd" ]]; then
  echo "demo-printer: CUPS-PDF is not installed; run scripts/setup.sh (package printer-driver-cups-pdf)." >&2
  exit 1
fi

scheduler_running() { lpstat -r 2>/dev/null | grep -q 'scheduler is running'; }
if ! scheduler_running; then
  if [[ -n "${CUPS_SERVER:-}" ]]; then
    echo "demo-printer: no CUPS scheduler answers at CUPS_SERVER=$CUPS_SERVER." >&2
    exit 1
  fi
  echo "demo-printer: starting the CUPS scheduler"
  if [[ -d /run/systemd/system ]]; then
    $SUDO systemctl start cups
  else
    # Without systemd: cupsd goes to the background once it is ready to take requests.
    $SUDO cupsd
  fi
  if ! scheduler_running; then
    echo "demo-printer: the CUPS scheduler did not start; see /var/log/cups/error_log." >&2
    exit 1
  fi
fi

# The instance's settings: where the files go, and a job number in each name so that no
# receipt overwrites another.
conf="/etc/cups/cups-pdf-$instance.conf"
wanted=$(printf '%s\n' \
  '# Written by scripts/demo-printer.sh for the Norvane TEF demo printer.' \
  "Out $out" \
  'Label 1' \
  'Grp lpadmin' \
  'DecodeHexStrings 1')
if [[ "$(cat "$conf" 2>/dev/null)" != "$wanted" ]]; then
  printf '%s\n' "$wanted" | $SUDO tee "$conf" >/dev/null
  echo "demo-printer: wrote $conf (PDF files go to $out)"
fi

uri="cups-pdf:/$instance"
if [[ "$(lpstat -v "$queue" 2>/dev/null)" != "device for $queue: $uri" ]] ||
   ! lpstat -p "$queue" 2>/dev/null | grep -q 'enabled' ||
   ! lpstat -a "$queue" 2>/dev/null | grep -q 'accepting requests'; then
  # lpadmin warns that PPD files are deprecated; CUPS 2.4 still takes them, and CUPS-PDF has no other.
  $SUDO lpadmin -p "$queue" -E -v "$uri" -P "$ppd" -D "Norvane TEF demo: PDF files in $out" 2>&1 |
    { grep -v 'drivers are deprecated' || true; } >&2
  echo "demo-printer: printer $queue ready ($uri)"
fi

if [[ -n "$ini" && -z "$printer" ]]; then
  # Into section [sitef], right under its header, in the file's own line ends. The new text
  # is flushed to disk before it replaces the file (with its mode and owner), so a full disk
  # or a crash leaves the old file whole: the service refuses an empty or cut one.
  if ! awk -v line="printer=$queue" '{ print } /^[ \t]*\[[ \t]*[sS][iI][tT][eE][fF][ \t]*\]/ && !done {
         print line (/\r$/ ? "\r" : ""); done = 1 }' "$ini" > "$ini.new" || ! sync "$ini.new"; then
    rm -f "$ini.new"
    echo "demo-printer: $ini could not be rewritten (is the disk full?); it is as it was." >&2
    exit 1
  fi
  if cmp -s "$ini" "$ini.new"; then
    rm -f "$ini.new"
    echo "demo-printer: $ini has no section [sitef]; add printer=$queue to it." >&2
    exit 1
  fi
  chmod --reference="$ini" "$ini.new"
  # Only root can give the file back to another owner; a developer's own file stays theirs.
  chown --reference="$ini" "$ini.new" 2>/dev/null || true
  mv "$ini.new" "$ini"
  echo "demo-printer: printer=$queue written in $ini"
fi
