#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, when any is missing.
# Runs as root (CI and the development machine); elsewhere it uses sudo when available.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost1.81-dev libssl-dev libsqlite3-dev libcurl4-openssl-dev libsystemd-dev libfmt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-pytest python3-websockets python3-aiosmtpd
  snmp snmptrapd sqlite3 openssl clang libclang-rt-14-dev
  scdoc nginx-light prometheus chromium
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
