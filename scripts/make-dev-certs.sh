#!/usr/bin/env bash
# Makes development certificates for a service folder: a CA and a server certificate for
# localhost and 127.0.0.1, signed by it, under the names the listener reads.
# Usage: scripts/make-dev-certs.sh SERVICE_FOLDER   (keeps certificates already there)
set -euo pipefail
dir="${1:?usage: make-dev-certs.sh SERVICE_FOLDER}/Certificado"
mkdir -p "$dir"
if [[ -s "$dir/server_cert.pem" && -s "$dir/server_key.pem" && -s "$dir/ca_cert.pem" ]]; then
  exit 0
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Norvane Dev CA" \
  -keyout "$tmp/ca_key.pem" -out "$dir/ca_cert.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
  -keyout "$dir/server_key.pem" -out "$tmp/server.csr" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' > "$tmp/ext.cnf"
openssl x509 -req -in "$tmp/server.csr" -CA "$dir/ca_cert.pem" -CAkey "$tmp/ca_key.pem" \
  -CAcreateserial -days 3650 -extfile "$tmp/ext.cnf" -out "$dir/server_cert.pem" 2>/dev/null
chmod 600 "$dir/server_key.pem"
echo "certificates written to $dir"
