#!/bin/bash
# Fuzzes what the tool takes from outside, the firmware server's version file
# and the device's replies, with libFuzzer under AddressSanitizer and UBSan.
# Builds the two targets with clang in build-fuzz/ and runs each for a bounded
# time on a copy of its seed corpus (tests/fuzz/corpus/<name>/), so the tree's
# corpus is never written. Usage: fuzz.sh [seconds per target], default
# $FUZZ_SECONDS or 60. Any crash, broken invariant or sanitizer report fails
# the script; the input that caused it is left in build-fuzz/fuzz/<name>/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-${FUZZ_SECONDS:-60}}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds per target, a whole number above 0]" >&2
    exit 2
fi

bash scripts/install-deps.sh clang-14 libclang-rt-14-dev
instrument="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
instrument+=" -fno-omit-frame-pointer"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_CXX_FLAGS="$instrument" -DQL7420_FUZZ=ON
# Only the targets and the libraries under them: the rest of the project has
# nothing to fuzz.
cmake --build build-fuzz --parallel 2 --target fuzz_versionfile fuzz_devicereply

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
sanitizerReport='ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:'
failed=()
for name in versionfile devicereply; do
    work=build-fuzz/fuzz/$name
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/findings"
    cp tests/fuzz/corpus/$name/* "$work/corpus/"
    log=$work/fuzz.log
    echo "fuzz_$name: ${seconds} s"
    status=0
    build-fuzz/tests/fuzz/fuzz_$name -max_total_time="$seconds" -timeout=25 \
        -print_final_stats=1 -artifact_prefix="$work/findings/" "$work/corpus" >"$log" 2>&1 ||
        status=$?
    # A report that let the run go on is a failure as well.
    if [ "$status" -ne 0 ] || grep -qE "$sanitizerReport" "$log"; then
        tail -n 40 "$log"
        echo "fuzz_$name: FAILED (exit $status); log $log, input in $work/findings/"
        failed+=("fuzz_$name")
        continue
    fi
    runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+$')
    echo "fuzz_$name: passed, ${runs:-?} executions"
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "Failed: ${failed[*]}"
    exit 1
fi
