#!/bin/sh
# Installs, from Debian's packages, whatever is missing to build Rugon, run its example and run
# every test. Runs `apt-get update` once, and only when something must be installed.
set -eu

packages="g++ make cmake pkg-config libdevil-dev freeglut3-dev libglu1-mesa-dev \
libgl1-mesa-dev libgl1-mesa-dri googletest libgtest-dev xvfb xauth x11-apps imagemagick \
xdotool libbenchmark-dev nlohmann-json3-dev libcairo2-dev clang libclang-rt-14-dev \
clang-format python3 \
libfftw3-dev libgsl-dev libtiff-dev libpugixml-dev libseccomp-dev libcli11-dev libtbb-dev \
pybind11-dev python3-dev python3-numpy python3-pytest python3-dask python3-distributed \
chromium"

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    echo "setup: every package is installed"
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    sudo=""
elif command -v sudo >/dev/null 2>&1; then
    sudo="sudo"
else
    echo "setup: missing packages:$missing; run this script as root to install them" >&2
    exit 1
fi

echo "setup: installing$missing"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
