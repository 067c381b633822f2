#!/bin/sh
# Installs what is missing, builds, starts the simulated hub and opens the
# program. The hub serves a pseudo-terminal, which the system's port list never
# shows: type its path into the Port box.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target pellix-hub-controler pellix-hubsim
link=/tmp/pellix-hub
build/sim/pellix-hubsim --link "$link" &
sim=$!
trap 'kill $sim 2>/dev/null' EXIT INT TERM
sleep 0.5
echo "Type $link into the Port box, then press Connect."
build/pellix-hub-controler
