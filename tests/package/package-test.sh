#!/usr/bin/env bash
# The Debian packages: built with cpack from build/, checked with dpkg-deb and lintian,
# installed on this machine with dpkg -i, checked, and purged again. Needs root. It works
# with or without a running systemd and leaves nothing behind: no package, no service
# folder, no user it made, no unit state.
# Usage: tests/package/package-test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/../.."
build="$(realpath "${1:-build}")"
folder=/opt/norvane
unit=/lib/systemd/system/NorvaneSiTefService.service
wants=/etc/systemd/system/multi-user.target.wants/NorvaneSiTefService.service

fail() { echo "package test FAILED: $*" >&2; exit 1; }
check() { local what="$1"; shift; "$@" || fail "$what"; }

if [[ $(id -u) -ne 0 ]]; then
  echo "package test skipped: dpkg -i needs root"
  exit 0
fi
# Checkouts on one machine share /opt/norvane and the dpkg database: one run at a time.
exec 9>/run/lock/norvane-package-test.lock
flock 9
if dpkg-query -W norvane-tef-server >/dev/null 2>&1 || [[ -e "$folder" ]]; then
  fail "norvane-tef-server or $folder is already on this machine; the test installs and purges them, so it will not run here"
fi

work=$(mktemp -d)
user_existed=0
getent passwd norvane >/dev/null && user_existed=1
cleanup() {
  dpkg --purge norvane-tef-simulator norvane-tef-server >/dev/null 2>&1 || true
  rm -rf "$folder" "$work"
  if (( !user_existed )) && getent passwd norvane >/dev/null; then
    deluser --quiet --system norvane >/dev/null 2>&1 || true
    getent group norvane >/dev/null && delgroup --quiet --system norvane >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

echo "-- cpack"
rm -rf "$build/packages"
(cd "$build" && cpack --config CPackConfig.cmake >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
server=$(ls "$build"/packages/norvane-tef-server_*.deb)
simulator=$(ls "$build"/packages/norvane-tef-simulator_*.deb)

echo "-- dpkg-deb: files, owners and control fields"
dpkg-deb -c "$server" > "$work/server.list"
dpkg-deb -c "$simulator" > "$work/simulator.list"
for path in ./opt/norvane/SvcNorvaneSiTef ./opt/norvane/receipt-preview ./opt/norvane/README.md \
            ./opt/norvane/SumatraPDF.exe ./opt/norvane/libmupdf.dll \
            ./opt/norvane/SvcNorvaneSiTef.ini ./opt/norvane/dll/ ./lib/systemd/system/NorvaneSiTefService.service \
            ./usr/share/doc/norvane-tef-server/copyright; do
  check "server package lacks $path" grep -q " $path\$" "$work/server.list"
done
check "server package carries the stand-in library" \
  bash -c "! grep -q 'CliSiTef32I.dll' '$work/server.list'"
check "the server package's dll/ is not empty" \
  bash -c "! grep -q ' ./opt/norvane/dll/.' '$work/server.list'"
for path in ./opt/norvane/dll/CliSiTef32I.dll ./opt/norvane/dll/CliSiTef.ini; do
  check "simulator package lacks $path" grep -q " $path\$" "$work/simulator.list"
done
check "the simulator package carries files of the server package" \
  bash -c "! grep -qE ' ./opt/norvane/(SvcNorvaneSiTef|receipt-preview)$' '$work/simulator.list'"
check "a packaged file is not owned by root" \
  bash -c "! awk '{print \$2}' '$work/server.list' '$work/simulator.list' | grep -v '^root/root$'"
check "the ini is not a conffile" \
  bash -c "dpkg-deb --ctrl-tarfile '$server' | tar -xO ./conffiles | grep -qx '$folder/SvcNorvaneSiTef.ini'"
depends=$(dpkg-deb -f "$server" Depends)
for needed in libssl3 libsystemd0 adduser init-system-helpers; do
  [[ "$depends" == *"$needed"* ]] || fail "server Depends lacks $needed: $depends"
done
[[ $(dpkg-deb -f "$simulator" Depends) == *"norvane-tef-server (= $(dpkg-deb -f "$server" Version))"* ]] ||
  fail "simulator does not depend on the same server version: $(dpkg-deb -f "$simulator" Depends)"

echo "-- lintian"
lintian --tag-display-limit 0 "$server" "$simulator" > "$work/lintian.log" 2>&1 || true
if grep -E '^E: ' "$work/lintian.log"; then fail "lintian reports errors"; fi
grep -E '^W: ' "$work/lintian.log" || true

echo "-- dpkg -i without a certificate, non-interactive"
DEBIAN_FRONTEND=noninteractive dpkg -i "$server" "$simulator" > "$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "dpkg -i"; }
check "no message about the missing certificate" grep -q "systemctl enable --now NorvaneSiTefService" "$work/install.log"
check "enabled without a certificate" test ! -e "$wants"
check "no user norvane" getent passwd norvane >/dev/null
for sub in Log TEF Certificado; do
  [[ $(stat -c %U:%G "$folder/$sub") == norvane:norvane ]] || fail "$folder/$sub is $(stat -c %U:%G "$folder/$sub")"
done
[[ $(stat -c %a:%U:%G "$folder") == 1775:root:norvane ]] || fail "$folder is $(stat -c %a:%U:%G "$folder")"
[[ $(stat -c %a "$folder/Certificado") == 750 ]] || fail "Certificado is readable by others"
for sub in Log TEF; do
  [[ $(stat -c %a "$folder/$sub") == 700 ]] || fail "$folder/$sub is $(stat -c %a "$folder/$sub"), not the service's alone"
done
ini="$folder/SvcNorvaneSiTef.ini"
[[ $(stat -c %a:%U:%G "$ini") == 660:norvane:norvane ]] || fail "the ini is $(stat -c %a:%U:%G "$ini")"
check "a non-interactive install wrote a token key or origins" \
  bash -c "! grep -qiE '^(jwt_secret|allowed_origins)=' '$ini'"

echo "-- debconf: answers given ahead are written; the key is forgotten by debconf"
key="k$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')"
debconf-set-selections <<SELECTIONS
norvane-tef-server norvane-tef-server/allowed_origins string https://pdv.example:8443
norvane-tef-server norvane-tef-server/jwt_secret password $key
SELECTIONS
DEBIAN_FRONTEND=noninteractive dpkg-reconfigure norvane-tef-server > "$work/preseed.log" 2>&1 ||
  { cat "$work/preseed.log"; fail "dpkg-reconfigure with answers given ahead"; }
check "allowed_origins not written" grep -qx 'allowed_origins=https://pdv.example:8443' "$ini"
check "jwt_secret not written" grep -qx "jwt_secret=$key" "$ini"
check "debconf keeps the token key" \
  bash -c "! echo 'GET norvane-tef-server/jwt_secret' | debconf-communicate norvane-tef-server | grep -q '$key'"
check "the ini's other keys were lost" grep -qx 'pdv_number=1' "$ini"
[[ $(stat -c %a:%U:%G "$ini") == 660:norvane:norvane ]] || fail "the ini is $(stat -c %a:%U:%G "$ini") after the set-up"
check "the set-up left a temporary ini beside it" bash -c "! ls '$folder' | grep -q 'SvcNorvaneSiTef\.ini\.'"

echo "-- debconf: dpkg-reconfigure asks again; an empty key generates one, kept in the ini and not shown"
# A terminal for debconf's plain-text frontend: the origin, then an empty key. The origin
# question offers what the ini holds.
sed -i '/^jwt_secret=/d' "$ini"
printf 'https://caixa.example\n\n' |
  script -qec "DEBIAN_FRONTEND=readline dpkg-reconfigure norvane-tef-server" /dev/null > "$work/reconfigure.log" 2>&1 ||
  { cat "$work/reconfigure.log"; fail "dpkg-reconfigure"; }
check "the origins question was not asked" grep -q "Origins of the sales application" "$work/reconfigure.log"
check "allowed_origins not written by dpkg-reconfigure" grep -qx 'allowed_origins=https://caixa.example' "$ini"
generated=$(sed -n 's/^jwt_secret=//p' "$ini" | tr -d '\r')
[[ "$generated" =~ ^[0-9a-f]{64}$ ]] || fail "no generated key in the ini: '$generated'"
check "the generated key was shown, and so kept in the package tool's log" \
  bash -c "! grep -q '$generated' '$work/reconfigure.log'"
# The command the set-up names reads the key back.
command=$(tr -d '\r' < "$work/reconfigure.log" | sed -n "s/^ *\(sudo grep .*\)$/\1/p" | head -n 1)
[[ -n "$command" ]] || fail "the set-up does not say how to read the key: $(cat "$work/reconfigure.log")"
[[ $(bash -c "${command#sudo }" | tr -d '\r') == "jwt_secret=$generated" ]] || fail "'$command' does not read the key"
# The packages strip their binaries: the stand-in must keep the section the service reads.
check "the packaged stand-in lost its marker section" \
  bash -c "readelf -S '$folder/dll/CliSiTef32I.dll' | grep -q '\.norvane_stand_in'"

echo "-- the unit"
NORVANE_SYSTEMD_DIR="$work" "$folder/SvcNorvaneSiTef" INSTALL SILENT
check "INSTALL writes another unit than the package's" cmp "$work/NorvaneSiTefService.service" "$unit"
systemd-analyze verify "$unit" > "$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "systemd-analyze verify"; }
# Lines about units of the host (this machine's own set-up) are not ours to judge.
if grep -i "NorvaneSiTefService" "$work/verify.log"; then fail "systemd-analyze verify complains about the unit"; fi
systemd-analyze security --offline=true --threshold=30 "$unit" > "$work/security.log" 2>&1 ||
  { cat "$work/security.log"; fail "exposure above 3.0"; }
grep -E "Overall exposure level" "$work/security.log"

echo "-- a certificate enables the unit"
scripts/make-dev-certs.sh "$folder" >/dev/null
chown -R norvane:norvane "$folder/Certificado"
# Installed again once the certificate is there, the unit is enabled (and started where
# systemd runs; the purge below stops it again).
DEBIAN_FRONTEND=noninteractive dpkg -i "$server" > "$work/reinstall.log" 2>&1 || { cat "$work/reinstall.log"; fail "dpkg -i again"; }
check "the message about the certificate once it is there" \
  bash -c "! grep -q 'has no TLS certificate' '$work/reinstall.log'"
check "not enabled once the certificate is there" test -L "$wants"

echo "-- the installed service serves only the origin and key given at set-up"
if [[ -d e2e/node_modules ]]; then
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  sed -i "s/^server_port=.*/server_port=$port/" "$ini"
  # The answers of the dpkg-reconfigure above, kept across the installation since.
  node tests/package/access-check.mjs "$folder" "$port" https://caixa.example "$generated" ||
    fail "the installed service's access"
else
  echo "   skipped: e2e/node_modules is missing (npm ci in e2e/)"
fi

echo "-- CHECK: the set-up shows it, and it judges for the service's user"
check "the set-up did not show the installation check" grep -q "installation check" "$work/install.log"
check "the set-up's check did not name the missing certificate" grep -q "FAIL  .*server_cert.pem is missing" "$work/install.log"
run_check() {  # expected status, then the line that must be there
  local status=0
  "$folder/SvcNorvaneSiTef" CHECK > "$work/check.log" 2>&1 || status=$?
  [[ $status == "$1" ]] || { cat "$work/check.log"; fail "CHECK exits $status, not $1"; }
  grep -q -- "$2" "$work/check.log" || { cat "$work/check.log"; fail "CHECK does not say: $2"; }
}
run_check 1 "WARN  CliSiTef library $folder/dll/CliSiTef32I.dll .*STAND-IN"
check "CHECK does not judge for the unit's user" grep -q "for the user norvane (the user of $unit)" "$work/check.log"

echo "-- without the simulator package, the stand-in at the default path is refused; the key names another file"
DEBIAN_FRONTEND=noninteractive dpkg -r norvane-tef-simulator > "$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg -r norvane-tef-simulator"; }
install -m 0644 "$build/service/dll/CliSiTef32I.dll" "$folder/dll/CliSiTef32I.dll"
run_check 2 "FAIL  CliSiTef library $folder/dll/CliSiTef32I.dll is the stand-in.*the service refuses it"
install -d -m 0755 "$folder/vendor"
install -m 0644 "$build/service/dll/CliSiTef32I.dll" "$folder/vendor/libclisitef.so"
echo "clisitef_library=$folder/vendor/libclisitef.so" >> "$ini"
run_check 1 "WARN  CliSiTef library $folder/vendor/libclisitef.so is the STAND-IN"
rm -rf "$folder/vendor" "$folder/dll/CliSiTef32I.dll"
sed -i '/^clisitef_library=/d' "$ini"

echo "-- purge keeps a TEF folder with backups, and names them alone"
echo "000-000 = CRT" > "$folder/TEF/RiZedIzAde_CliSiTef_001.tef"
echo '{"results":[]}' > "$folder/TEF/results.json"
dpkg --purge norvane-tef-simulator norvane-tef-server > "$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
check "no message about the kept TEF folder" grep -q "RiZedIzAde_CliSiTef_001.tef" "$work/purge.log"
check "the kept results are named as a payment" bash -c "! grep -q results.json '$work/purge.log'"
check "the TEF backup did not survive the purge" test -s "$folder/TEF/RiZedIzAde_CliSiTef_001.tef"
check "the kept results survived the purge" test ! -e "$folder/TEF/results.json"
check "the logs survived the purge" test ! -e "$folder/Log"
check "the unit is still enabled after the purge" test ! -e "$wants"
check "the unit file is still there" test ! -e "$unit"
if [[ -d /run/systemd/system ]] && systemctl is-active --quiet NorvaneSiTefService; then
  fail "the service still runs after the purge"
fi

echo "-- purge with only the kept results left removes the TEF folder"
DEBIAN_FRONTEND=noninteractive dpkg -i "$server" > "$work/again.log" 2>&1 || { cat "$work/again.log"; fail "dpkg -i after the purge"; }
rm "$folder/TEF/RiZedIzAde_CliSiTef_001.tef"
echo '{"results":[]}' > "$folder/TEF/results.json"
dpkg --purge norvane-tef-server > "$work/purge-results.log" 2>&1 || { cat "$work/purge-results.log"; fail "dpkg --purge"; }
check "a message about a kept TEF folder with only results in it" bash -c "! grep -q 'was kept' '$work/purge-results.log'"
check "the TEF folder with only results survived the purge" test ! -e "$folder/TEF"
echo "== package test passed"
