#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) in build/fuzz and runs each of them for SECONDS:
#   fuzz/run.sh [SECONDS] [HARNESS...]
# Installs clang and libFuzzer from Debian's packages when they are missing.
# Saved crashing inputs under fuzz/regressions/<harness>/ are replayed first.
# The corpus of each harness grows in build/fuzz/corpus/<harness> across runs.
# Exits non-zero when any harness finds a crash, leak, timeout or OOM.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

find_clang() {
    for v in 22 19; do
        if command -v "clang++-$v" >/dev/null && [ -e "/usr/lib/llvm-$v/lib/clang" ] &&
            ls /usr/lib/llvm-"$v"/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
            echo "clang++-$v"
            return
        fi
    done
}

# The core is C++23 with std::expected, which libstdc++ offers to clang 19 and newer.
cxx=$(find_clang)
if [ -z "$cxx" ]; then
    echo "== installing clang-19 and libFuzzer"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq clang-19 libclang-rt-19-dev libfuzzer-19-dev >/dev/null
    cxx=$(find_clang)
fi
[ -n "$cxx" ] || { echo "no usable clang with libFuzzer" >&2; exit 2; }

build=build/fuzz
echo "== building harnesses with $cxx"
CXX=$cxx cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVINTREL_FUZZ=ON \
    -DVINTREL_PYTHON=OFF >/dev/null
cmake --build "$build" >/dev/null

"${PYTHON:-python3}" fuzz/make_seeds.py "$build/seeds"

if [ $# -gt 0 ]; then
    harnesses=("$@")
else
    harnesses=()
    for exe in "$build"/fuzz/fuzz_*; do harnesses+=("$(basename "$exe" | sed 's/^fuzz_//')"); done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
common=(-rss_limit_mb=2048 -malloc_limit_mb=2048 -timeout=10 -print_final_stats=1)
status=0
summary=()
for h in "${harnesses[@]}"; do
    exe=$build/fuzz/fuzz_$h
    [ -x "$exe" ] || { echo "no harness $h" >&2; status=1; continue; }
    len=8192
    [ "$h" = ecc_block ] && len=4096
    if [ -d "fuzz/regressions/$h" ] && [ -n "$(ls -A "fuzz/regressions/$h")" ]; then
        echo "== $h: replaying fuzz/regressions/$h"
        if ! "$exe" "${common[@]}" "fuzz/regressions/$h"/* >"$build/$h.replay.log" 2>&1; then
            echo "   regression input fails again: see $build/$h.replay.log"
            status=1
        fi
    fi
    corpus=$build/corpus/$h
    mkdir -p "$corpus" "$build/crashes/$h"
    echo "== $h: fuzzing for ${seconds}s"
    if "$exe" "${common[@]}" -max_len=$len -max_total_time="$seconds" \
        -artifact_prefix="$build/crashes/$h/" "$corpus" "$build/seeds/$h" >"$build/$h.log" 2>&1; then
        result=ok
    else
        result="FOUND A FAULT (see $build/$h.log, input in $build/crashes/$h/)"
        status=1
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/$h.log" | grep -o '[0-9]*$' || true)
    cov=$(grep -oE '(DONE|#[0-9]+).*cov: [0-9]+ ft: [0-9]+' "$build/$h.log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
    summary+=("$(printf '%-18s %12s runs  %-22s %s' "$h" "${runs:-?}" "${cov:-}" "$result")")
done

echo "== summary (${seconds}s each)"
printf '%s\n' "${summary[@]}"
exit $status
