#!/bin/sh
# Builds the benchmark and runs it: the real window and worker against the
# simulated hub at the wire's pace and at ten times it, then a firmware upload.
#
#   scripts/bench.sh [--xvfb] [--quick] [pellix-perf options...]
#
# --quick takes about half a minute, the full run about four minutes. By default the
# window draws on Qt's offscreen platform (real painting into memory, no X
# server); --xvfb runs it on a virtual X screen instead. Results go to stdout
# and, as tables, to build-perf/bench-results.md.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build-perf -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-perf -j2 --target pellix-perf
if [ "$1" = "--xvfb" ]; then
    shift
    exec xvfb-run -a -s "-screen 0 1024x768x24" build-perf/bench/pellix-perf --markdown build-perf/bench-results.md "$@"
fi
QT_QPA_PLATFORM=offscreen exec build-perf/bench/pellix-perf --markdown build-perf/bench-results.md "$@"
