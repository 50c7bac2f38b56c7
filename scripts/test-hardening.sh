#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The hardening runs beside the normal tests, each failing on any report:
#   asan      every test, built with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)
#   fuzz      the libFuzzer target for FUZZ_SECONDS (default 60) seconds (build-fuzz/)
#   valgrind  memcheck on every compiled test of the normal build (BUILD_DIR, default build/)
# usage: scripts/test-hardening.sh [asan|fuzz|valgrind]...   (all three when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh g++ make cmake qt6-base-dev qt6-serialport-dev qt6-translations-l10n clang libclang-rt-dev valgrind

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
# halt_on_error and -fno-sanitize-recover make every report fatal; leaks fail the process at exit.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0

asan() {
    echo "== sanitizer build: every test under ASan and UBSan"
    BUILD_DIR=${ASAN_BUILD_DIR:-build-asan} BUILD_TYPE=Debug scripts/build.sh -DTQ5_SANITIZE=ON
    ctest --test-dir "${ASAN_BUILD_DIR:-build-asan}" --output-on-failure --timeout 900
}

fuzz() {
    echo "== fuzzing the query window for ${FUZZ_SECONDS:-60} s"
    local dir=${FUZZ_BUILD_DIR:-build-fuzz}
    CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTQ5_FUZZ=ON >/dev/null
    cmake --build "$dir" -j"$(nproc)" --target fuzz_exchange
    # The corpus, and the fuzzed port's name in TMPDIR, go with the run however it ends.
    local tmp status=0
    tmp=$(mktemp -d)
    mkdir "$tmp/corpus"
    # A finding is written to $dir/ and ends the run with a non-zero status. It ends by abort,
    # which would leave Qt's lock of the fuzzed port behind: a private /run/lock where the
    # system allows one.
    local private=(unshare --mount --propagation private)
    [ "$(id -u)" -eq 0 ] || private=(unshare --user --map-root-user --mount --propagation private)
    private+=(-- sh -c 'mount -t tmpfs -o mode=1777 tq5lock /run/lock && exec "$@"' sh)
    "${private[@]}" true 2>/dev/null || private=()
    TMPDIR=$tmp "${private[@]}" "$dir/fuzz/fuzz_exchange" -max_total_time="${FUZZ_SECONDS:-60}" \
        -max_len=256 -timeout=60 -print_final_stats=1 -artifact_prefix="$dir/" "$tmp/corpus" \
        >"$dir/fuzz.log" 2>&1 || status=$?
    rm -rf "$tmp"
    if [ $status -eq 0 ]; then
        grep -e '^#[0-9]*.*DONE' -e '^stat::' "$dir/fuzz.log" || true
    else
        grep -v -e '^#[0-9]*.*\(NEW\|REDUCE\)' -e 'OpenType support missing' "$dir/fuzz.log" |
            tail -n 80 || true
    fi
    return $status
}

memcheck() {
    echo "== valgrind memcheck on every compiled test"
    local build=${BUILD_DIR:-build}
    scripts/build.sh >/dev/null
    # CTest runs each test under memcheck, so a test added later is checked too; tests labelled
    # "script" drive programs of their own and would only check the shell.
    ctest --test-dir "$build" -T memcheck -LE script --output-on-failure --timeout 900 \
        --overwrite MemoryCheckCommand="$(command -v valgrind)" \
        --overwrite MemoryCheckSuppressionFile="$PWD/tests/valgrind.supp" \
        --overwrite "MemoryCheckCommandOptions=--error-exitcode=1 --leak-check=full \
--show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=30" || {
        cat "$build"/Testing/Temporary/MemoryChecker.*.log
        return 1
    }
}

steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(asan fuzz valgrind)
for step in "${steps[@]}"; do
    case $step in
    asan) asan ;;
    fuzz) fuzz ;;
    valgrind) memcheck ;;
    *)
        echo "unknown step: $step" >&2
        exit 2
        ;;
    esac
done
echo "hardening: ${#steps[@]} passed, 0 failed"
