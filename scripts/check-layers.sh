#!/usr/bin/env bash
# Fails when a file in src/ includes a file of a higher layer. The layers,
# bottom to top; folders on one line share a layer and may include each
# other's headers.
set -euo pipefail
cd "$(dirname "$0")/.."
layers=(
  "common"
  "platform"
  "textfile"
  "logcomment failure"
  "desclist"
  "app"
)
declare -A rank
for i in "${!layers[@]}"; do
  for folder in ${layers[$i]}; do rank[$folder]=$i; done
done
bad=0
checked=0
for file in src/*/*.h src/*/*.cpp; do
  folder=$(basename "$(dirname "$file")")
  [ -n "${rank[$folder]+set}" ] || { echo "$file: folder $folder is in no layer" >&2; bad=1; continue; }
  while IFS=: read -r line target; do
    used=${target%%/*}
    checked=$((checked + 1))
    if [ -z "${rank[$used]+set}" ]; then
      echo "$file:$line: includes $target, of no layer" >&2
      bad=1
    elif [ "${rank[$used]}" -gt "${rank[$folder]}" ]; then
      echo "$file:$line: $folder/ includes $target, a higher layer" >&2
      bad=1
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" | sed 's/^\([0-9]*\):[^"]*"\([^"]*\)".*/\1:\2/' || true)
done
if [ "$bad" -ne 0 ]; then
  echo "layers: an include looks up; see above" >&2
  exit 1
fi
echo "layers: $checked includes in src/ look down or sideways"
