#!/usr/bin/env bash
# Checks that the folders of src/ stand in layers: a file may include headers of
# its own folder and of the folders below it, never of one above. Prints each
# include that points up and exits 1 when there is one.
set -euo pipefail
case ${1:-} in -h | --help) echo "Usage: $0 [SRC-DIR]     (checks that the folders of src/ include only folders below them)" && exit 0 ;; esac

# Lowest first.
layers=(os log timer board settings tuner tot sntp main)

src=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/src}
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

status=0
for dir in "$src"/*/; do
    folder=$(basename "$dir")
    if [ -z "${rank[$folder]+x}" ]; then
        echo "check-layers: src/$folder has no place in the layer order" >&2
        status=1
        continue
    fi
    while IFS=: read -r file line text; do
        target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$text")
        if [ -z "${rank[$target]+x}" ] || [ "${rank[$target]}" -gt "${rank[$folder]}" ]; then
            echo "check-layers: ${file#"$src"/}:$line includes $target/ above $folder/" >&2
            status=1
        fi
    done < <(grep -nE '^#include "[a-z_0-9]+/' "$dir"* /dev/null || true)
done
exit $status
