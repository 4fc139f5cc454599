#!/bin/bash
# Builds the tool, its library and every test with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-sanitized/ and runs the tests there;
# the benchmarks, which no test runs, are left out.
# Any report (memory error, leak, undefined behaviour) fails its test. Tests
# of what the sanitizers cannot reach (the Debian package, code built by
# another compiler) carry the label not-sanitized and are left to test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B build-sanitized -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$sanitize" -DCMAKE_EXE_LINKER_FLAGS="$sanitize" -DQL7420_BENCHMARKS=OFF "$@"
cmake --build build-sanitized --parallel "$(nproc)"

export ASAN_OPTIONS="halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
ctest --test-dir build-sanitized --output-on-failure --parallel 4 --timeout 900 \
    --label-exclude not-sanitized
