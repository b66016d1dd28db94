#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: runs apt-get only when a package is missing.
set -euo pipefail

packages=(
  build-essential g++ cmake make pkg-config
  libopenblas-dev liblapacke-dev
  libfmt-dev libfftw3-dev
  libgtest-dev libbenchmark-dev
  libgomp1 binutils
  python3 python3-scipy       # SciPy reads and writes Level-4 MAT files in the tests
  curl chromium wrk           # monitor tests (HTTP scripts, headless page) and its benchmark
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
