#!/bin/sh
# Takes the screenshots in docs/ of the real window and dialogs, connected to
# the simulated hub, on a virtual X screen.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target pellix-screenshots
xvfb-run -a -s "-screen 0 1024x768x24" build/bench/pellix-screenshots docs
