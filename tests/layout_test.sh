#!/usr/bin/env bash
# Includes between the folders of src/ point one way, down this list; folders
# on one line stand side by side and include none of each other.
#   layout_test.sh SOURCE_DIR
set -euo pipefail
levels=("app" "cmdline probe icmp" "address" "core" "platform" "text")
declare -A level=()
for i in "${!levels[@]}"; do
  for folder in ${levels[$i]}; do level[$folder]=$i; done
done

status=0
cd "$1/src"
for folder in */; do
  folder="${folder%/}"
  [ -n "${level[$folder]:-}" ] || { echo "FAIL: src/$folder/ has no place in the layout"; status=1; continue; }
done
while IFS=: read -r file included; do
  from="${file%%/*}" to="${included%%/*}"
  [ "$from" = "$to" ] && continue
  if [ -z "${level[$to]:-}" ] || [ "${level[$to]}" -le "${level[$from]}" ]; then
    echo "FAIL: $file includes $included, which is not below src/$from/"
    status=1
  fi
done < <(grep -rE '^#include "[a-z_]+/' . | sed -E 's#^\./##; s#:\#include "([^"]*)".*#:\1#')
[ "$status" -eq 0 ] && echo "PASS: includes point one way"
exit "$status"
