#!/usr/bin/env bash
# Installs everything the build, the service and the tests need on a fresh Debian 12
# machine. Safe to run again: it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake pkg-config git clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl zlib1g-dev nlohmann-json3-dev libcurl4-openssl-dev
  libxml2-dev libcairo2-dev libpango1.0-dev libqrencode-dev fonts-liberation
  libcups2-dev cups cups-daemon cups-client cups-ipp-utils printer-driver-cups-pdf
  poppler-utils zbar-tools locales iproute2 procps nodejs npm
)
# Extra packages named by the subsystems (one per line, '#' comments) live beside this script.
if [[ -f scripts/packages.txt ]]; then
  while read -r pkg; do
    pkg="${pkg%%#*}"; pkg="${pkg// /}"
    [[ -n "$pkg" ]] && PACKAGES+=("$pkg")
  done < scripts/packages.txt
fi

SUDO=""
[[ $(id -u) -ne 0 ]] && SUDO="sudo"

missing=()
for pkg in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
# Node 20 may come from outside Debian (the node binary without a Debian package).
if command -v node >/dev/null && command -v npm >/dev/null; then
  tmp=(); for pkg in "${missing[@]}"; do [[ "$pkg" == nodejs || "$pkg" == npm ]] || tmp+=("$pkg"); done
  missing=("${tmp[@]+"${tmp[@]}"}")
fi
if (( ${#missing[@]} )); then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# Month folder names of the service log come from LC_TIME; the service runs under pt_BR.
if ! locale -a 2>/dev/null | grep -qi '^pt_BR\.utf-\?8$'; then
  $SUDO sed -i 's/^# *pt_BR.UTF-8 UTF-8/pt_BR.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^pt_BR.UTF-8 UTF-8' /etc/locale.gen || echo 'pt_BR.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi

# Node packages of the end-to-end tests, and of the browser library's demo and tests
# (playwright-core drives Debian's chromium; it downloads no browser of its own).
for folder in e2e web; do
  if [[ -f "$folder/package-lock.json" ]]; then
    (cd "$folder" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
  fi
done
