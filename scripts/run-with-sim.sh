#!/bin/sh
# Installs what is missing, builds, starts the simulated hub and opens the
# program connected to it. The hub serves a pseudo-terminal, which the
# system's port list never shows: the program is given its path.
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
build/app/pellix-hub-controler --port "$link" --connect
