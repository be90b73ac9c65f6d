#!/usr/bin/env bash
# Usage: tests/tools/mutate.sh [--only REGEX] [--list FILE] BUILD_DIR
# How many plausible one-line faults the plain suite catches. Applies each
# mutant of the list (tests/tools/mutants.txt; --only: those whose line matches
# REGEX) alone, IN PLACE to the tree that BUILD_DIR was configured from (do not
# edit it meanwhile; run it in a clone to keep working; the file is restored
# after each mutant and on any exit, Ctrl-C too), rebuilds BUILD_DIR and runs
# the suite, test executables then scenarios, each up to its first failure.
# A list line: file, exact text (its first occurrence), replacement, what a
# user would suffer, separated by TABs (\n a line feed, \\ a backslash; #
# begins a comment). A text not found is stale, a mutant that does not build is
# reported so; neither counts. Prints a line per mutant, the score and the
# survivors; exits 1 when one survived.
. "$(dirname "$0")/lib.sh"
list=$repo/tests/tools/mutants.txt only=
while [[ ${1:-} == --only || ${1:-} == --list ]]; do
    if [[ $1 == --only ]]; then only=$2; else list=$2; fi && shift 2
done
build=$(cd "${1:?a build directory}" && pwd)
source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
[ -d "$source_dir" ] || { echo "mutate.sh: $build is not a configured build directory" >&2 && exit 2; }

saved= target=
restore() { if [ -n "$saved" ]; then cat "$saved" >"$target" && rm -f "$saved" && saved=; fi; }
trap restore EXIT
trap 'restore; exit 130' INT TERM

# The shuffled repeats (*.any_order) check the order of the tests, not the
# code: the single tests hold the same checks, sooner.
lock=(${ORV_SUITE_LOCK:+flock "$ORV_SUITE_LOCK"})
suite() {
    "${lock[@]}" nice ctest --test-dir "$build" -LE e2e -E '\.any_order$' -j2 --timeout 300 --stop-on-failure >"$build/mutant.log" 2>&1 &&
        "${lock[@]}" nice ctest --test-dir "$build" -L e2e -j2 --timeout 300 --stop-on-failure >>"$build/mutant.log" 2>&1
}

caught=0 counted=0 survivors=()
while IFS= read -r -u 3 line; do
    [[ -z $line || $line == \#* ]] && continue
    [[ -z $only || $line =~ $only ]] || continue
    file=${line%%$'\t'*} rest=${line#*$'\t'}
    text=${rest%%$'\t'*} rest=${rest#*$'\t'}
    replacement=${rest%%$'\t'*} harm=${rest#*$'\t'}
    target=$source_dir/$file name="$file: $text -> $replacement"
    printf -v text '%b' "$text" && printf -v replacement '%b' "$replacement"
    original=$(cat "$target" 2>/dev/null && printf x) || original=x && original=${original%x}
    [[ $original == *"$text"* ]] || { printf '%-9s %s\n' stale "$name" && continue; }
    saved=$(mktemp) && cp -p "$target" "$saved"
    printf '%s' "${original/"$text"/"$replacement"}" >"$target"
    if ! nice cmake --build "$build" </dev/null >"$build/mutant.log" 2>&1; then
        result="no build"
    elif suite </dev/null; then
        result=SURVIVED && survivors+=("$name ($harm)")
    else
        result=caught && caught=$((caught + 1))
    fi
    [[ $result == "no build" ]] || counted=$((counted + 1))
    restore
    printf '%-9s %s\n' "$result" "$name"
done 3<"$list"
nice cmake --build "$build" >/dev/null 2>&1 || echo "mutate.sh: the restored tree does not build" >&2

echo "score: $caught of $counted caught ($((counted ? 100 * caught / counted : 0))%)"
[ ${#survivors[@]} -eq 0 ] || printf 'survived: %s\n' "${survivors[@]}"
[ ${#survivors[@]} -eq 0 ]
