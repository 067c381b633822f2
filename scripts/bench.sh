#!/bin/sh
# Builds the benchmark and runs it: the real window and worker against the
# simulated hub at the wire's pace and at ten times it, then a firmware upload.
#
#   scripts/bench.sh [--xvfb] [--quick] [pellix-perf options...]
#   scripts/bench.sh --hubctl [--quick] [--seconds N] [--publish] [pellix-hubctl-bench options...]
#
# --quick takes about half a minute, the full run about four minutes. By default the
# window draws on Qt's offscreen platform (real painting into memory, no X
# server); --xvfb runs it on a virtual X screen instead. Results go to stdout
# and, as tables, to build-perf/bench-results.md.
#
# --hubctl measures the command-line tool instead: the built pellix-hubctl
# streaming for N seconds (60 by default) at the wire's rate and at ten times
# it, in binary and text output, then flashing 64 KiB: some 4 x N + 20 s, about
# four and a half minutes by default. Tables go to build-perf/hubctl-bench-results.md.
# --publish adds, after each stream, `publish` of the same hub to a mosquitto the
# bench starts on 127.0.0.1 (needs the mosquitto package): another N s each, some
# nine minutes with the streams. --quick makes every run 6 s and the flash 8 KiB.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build-perf -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ "$1" = "--hubctl" ]; then
    shift
    cmake --build build-perf -j2 --target pellix-hubctl-bench
    exec build-perf/bench/pellix-hubctl-bench --markdown build-perf/hubctl-bench-results.md "$@"
fi
cmake --build build-perf -j2 --target pellix-perf
if [ "$1" = "--xvfb" ]; then
    shift
    exec xvfb-run -a -s "-screen 0 1024x768x24" build-perf/bench/pellix-perf --markdown build-perf/bench-results.md "$@"
fi
QT_QPA_PLATFORM=offscreen exec build-perf/bench/pellix-perf --markdown build-perf/bench-results.md "$@"
