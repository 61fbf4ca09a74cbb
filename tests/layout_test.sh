#!/usr/bin/env bash
# Includes between the folders of src/ point one way, down this list; folders
# on one line stand side by side and include none of each other. Only the
# system folders (the first line) include a system's headers or test for a
# system with the preprocessor.
#   layout_test.sh SOURCE_DIR
set -euo pipefail
levels=("linux windows" "app" "cmdline probe icmp" "address" "core" "platform" "text")
system_folders=" linux windows "
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
system_code='^#include <(sys/|netinet/|arpa/|linux/|net/|netdb\.h|unistd\.h|fcntl\.h|poll\.h|windows\.h|winsock2?\.h|ws2tcpip\.h|iphlpapi\.h|mmsystem\.h|bcrypt\.h)|^#\s*if.*(_WIN32|__linux__|__unix__|_MSC_VER|__MINGW)'
while IFS= read -r hit; do
  folder="${hit%%/*}"
  case "$system_folders" in *" $folder "*) continue ;; esac
  echo "FAIL: a shared folder holds system code: $hit"
  status=1
done < <(grep -rnE "$system_code" . | sed -E 's#^\./##')
[ "$status" -eq 0 ] && echo "PASS: includes point one way; system code only in src/linux/ and src/windows/"
exit "$status"
