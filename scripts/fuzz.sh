#!/bin/sh
# Fuzzes every place where bytes from the hub come in: builds the libFuzzer
# targets of fuzz/ with clang (ASan+UBSan) in build-fuzz/ and runs each for
# SECONDS (default 60), starting from the seeds in fuzz/corpus/ and the inputs
# in fuzz/regressions/.
#
#   scripts/fuzz.sh [SECONDS] [merge]
#
# "merge" adds the inputs that reached new code to fuzz/corpus/ (commit them).
# A crashing input is left in build-fuzz/artifacts/TARGET/; once its cause is
# fixed, keep it as fuzz/regressions/TARGET/NAME so that tst_fuzzcorpus replays
# it from then on. Exits non-zero when any target crashed.
set -e
cd "$(dirname "$0")/.."
seconds=${1:-60}
merge=${2:-}
targets="config_reply identification_line binary_stream text_line boot_loader"

./scripts/install-deps.sh
missing=""
for p in clang-14 libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
fi

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELLIX_FUZZ=ON >/dev/null
for t in $targets; do
    cmake --build build-fuzz -j2 --target "fuzz_$t" >/dev/null
done

export QT_QPA_PLATFORM=offscreen
failed=0
summary=""
for t in $targets; do
    work=build-fuzz/corpus/$t
    artifacts=build-fuzz/artifacts/$t
    mkdir -p "$work" "$artifacts" "fuzz/regressions/$t"
    log=build-fuzz/fuzz-$t.log
    echo "fuzzing $t for ${seconds}s"
    if build-fuzz/fuzz/fuzz_$t -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" "fuzz/corpus/$t" "fuzz/regressions/$t" >"$log" 2>&1; then
        result="no crash"
    else
        result="CRASHED, see $log and $artifacts/"
        failed=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    summary="$summary$t: ${runs:-?} executions, $result
"
    if [ "$merge" = merge ]; then
        build-fuzz/fuzz/fuzz_$t -merge=1 "fuzz/corpus/$t" "$work" >/dev/null 2>&1
    fi
done
printf '%s' "$summary"
exit $failed
