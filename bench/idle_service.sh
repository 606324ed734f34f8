#!/usr/bin/env bash
# Idle cost of the service: CPU time used over 10 s with the port open and no client,
# and resident memory, measured on a private copy of a service folder.
# Usage: bench/idle_service.sh [SERVICE_FOLDER]   (default build/service)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir="${1:-build/service}"
seconds="${IDLE_SECONDS:-10}"
work=$(mktemp -d)
trap 'kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
cp -r "$source_dir"/. "$work"/
rm -rf "$work/Log"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf '[sitef]\r\nserver_port=%s\r\n' "$port" > "$work/SvcNorvaneSiTef.ini"
LC_TIME=pt_BR.UTF-8 "$work/SvcNorvaneSiTef" &
pid=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
sleep 1  # let the start-up settle before measuring
ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
before=$(cpu)
sleep "$seconds"
after=$(cpu)
rss_kib=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
threads=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status")
# Most of the resident pages are shared libraries' (libcrypto, libstdc++, the printing
# stack); what the service itself made is its private dirty memory.
private_kib=$(awk '/^Private_Dirty:/ {print $2}' "/proc/$pid/smaps_rollup")
awk -v t="$((after - before))" -v hz="$ticks" -v s="$seconds" -v rss="$rss_kib" -v th="$threads" -v pd="$private_kib" 'BEGIN {
  printf "idle CPU time over %d s: %.3f s (%d clock ticks of 1/%d s)\n", s, t / hz, t, hz
  printf "resident memory: %.1f MiB (%d KiB), threads: %d; private dirty: %.1f MiB (%d KiB)\n", rss / 1024, rss, th, pd / 1024, pd
}'
