#!/usr/bin/env bash
# Runs each fuzz target for SECONDS seconds on a copy of its seed corpus and fails when
# one finds a crash, a hang, a leak or a sanitizer report.
#
#   fuzz/run_fuzzers.sh SECONDS [WORKDIR]
#
# Builds build-fuzz (clang++, the "fuzz" CMake preset) first when needed. New inputs and crash artifacts go to
# WORKDIR (default: a new temporary directory), never into fuzz/corpus; WORKDIR is kept
# when something was found, so the artifacts can be looked at and copied to
# fuzz/crashes/<target>/.
set -u

if [ $# -lt 1 ] || ! [[ "$1" =~ ^[0-9]+$ ]]; then
    echo "usage: $0 SECONDS [WORKDIR]" >&2
    exit 2
fi
seconds=$1
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"

if [ ! -f "$build/CMakeCache.txt" ]; then
    (cd "$root" && cmake --preset fuzz) || exit 1
fi
(cd "$root" && cmake --build --preset fuzz) || exit 1

made_workdir=0
if [ $# -ge 2 ]; then
    work=$2
    mkdir -p "$work" || exit 1
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/fat12img-fuzzrun-XXXXXX") || exit 1
    made_workdir=1
fi

# A floppy-sized input must stay under the memory limit below. The sanitizer keeps freed
# memory back for a while (256 MB by default), which would count against it; a smaller
# quarantine still catches a use after free of anything freed recently.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=32"

status=0
for target in image commands; do
    corpus="$work/corpus-$target"
    artifacts="$work/artifacts-$target"
    log="$work/$target.log"
    mkdir -p "$corpus" "$artifacts"
    cp "$root/fuzz/corpus/$target/"* "$corpus/"
    # Earlier crash inputs run first: a fix that comes undone shows at once.
    crashes=()
    if [ -d "$root/fuzz/crashes/$target" ]; then
        crashes=("$root/fuzz/crashes/$target")
    fi
    echo "== fuzz_$target: $seconds s"
    "$build/fuzz/fuzz_$target" "$corpus" "${crashes[@]}" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=256 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
    rc=$?
    # The last coverage line and libFuzzer's closing statistics.
    grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED).*cov:' "$log" | tail -n 1
    grep -E '^stat::' "$log"
    found=$(find "$artifacts" -type f | wc -l)
    if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
        echo "fuzz_$target FAILED (exit $rc, $found artifact(s) in $artifacts); log: $log" >&2
        grep -E -A 30 '^==[0-9]+==ERROR|runtime error|libFuzzer: (deadly|timeout|out-of-memory)' \
            "$log" | head -n 60 >&2
        status=1
    fi
done

if [ "$status" -eq 0 ] && [ "$made_workdir" -eq 1 ]; then
    rm -rf "$work"
elif [ "$status" -ne 0 ]; then
    echo "kept $work" >&2
fi
exit "$status"
