#!/usr/bin/env bash
# Usage: tests/tools/fuzz.sh [seconds] [target...]     (all targets when none named)
# Builds the fuzz targets of fuzz/ with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer (in build-fuzz/) and runs each for the given
# number of seconds (default 60), or for ORV_FUZZ_RUNS inputs when that is set,
# from a working corpus grown from its seeds in fuzz/corpus/<target>/. Exits 1
# on a finding, whose input is kept in build-fuzz/findings/<target>/.
. "$(dirname "$0")/lib.sh"
build=$repo/build-fuzz seconds=${1:-60}
shift $(($# > 0))
[ $# -gt 0 ] || set -- $(basename -s .cpp "$repo"/fuzz/*.cpp)

[ -f "$build/CMakeCache.txt" ] || CC=clang-14 CXX=clang++-14 cmake -S "$repo" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target "${@/#/fuzz_}"

export TZ=Asia/Tokyo
limit=(-max_total_time="$seconds") status=0
[ -z "${ORV_FUZZ_RUNS:-}" ] || limit=(-runs="$ORV_FUZZ_RUNS")
for target; do
    corpus=$build/corpus/$target findings=$build/findings/$target log=$build/fuzz-$target.log
    mkdir -p "$corpus" "$findings"
    if "$build/fuzz/fuzz_$target" "${limit[@]}" -artifact_prefix="$findings/" -print_final_stats=1 \
        "$corpus" "$repo/fuzz/corpus/$target" </dev/null >"$log" 2>&1; then
        echo "fuzz: $target: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") inputs, no finding"
    else
        echo "fuzz: $target: FINDING (input in $findings/); the end of $log:" >&2
        tail -n 40 "$log" >&2
        status=1
    fi
done
exit $status
