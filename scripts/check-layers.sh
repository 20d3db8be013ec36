#!/usr/bin/env bash
# Fails when a source file includes from a folder its layer may not use.
# Dependencies point one way, from foundation/ up to the programs:
#   foundation -> dv, avci -> mxf -> engine -> cli, ui
# A folder may include its own headers and those of the folders listed for
# it below; nothing includes upwards or sideways (dv and avci do not use each
# other, cli and ui do not use each other). Third-party headers are held to
# the folders that may use them (Qt in ui/, CLI11 and JSON in cli/, x264 in avci/).
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
  [foundation]=""
  [dv]="foundation"
  [avci]="foundation"
  [mxf]="foundation dv avci"
  [engine]="foundation dv avci mxf"
  [cli]="foundation dv avci mxf engine"
  [ui]="foundation dv avci mxf engine"
)
# Third-party include prefixes and the folders allowed to use them.
declare -A library=(
  ["Q"]="ui"
  ["CLI/"]="cli"
  ["nlohmann/"]="cli"
  ["x264"]="avci"
)

status=0
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  ok=" $folder ${allowed[$folder]} "
  while IFS= read -r line; do
    file=${line%%:*}
    rest=${line#*:}
    lineno=${rest%%:*}
    text=${rest#*:}
    if [[ $text =~ \#[[:space:]]*include[[:space:]]*\"([^\"/]+)/ ]]; then
      used=${BASH_REMATCH[1]}
      if [[ $ok != *" $used "* ]]; then
        echo "$file:$lineno: $folder/ may not include from $used/: $text"
        status=1
      fi
    elif [[ $text =~ \#[[:space:]]*include[[:space:]]*\<([^\>]+)\> ]]; then
      header=${BASH_REMATCH[1]}
      for prefix in "${!library[@]}"; do
        if [[ $header == "$prefix"* && $folder != "${library[$prefix]}" ]]; then
          # Qt's headers start with Q followed by a capital letter.
          if [[ $prefix == "Q" && ! $header =~ ^Q[A-Z] ]]; then continue; fi
          echo "$file:$lineno: $folder/ may not use <$header> (only ${library[$prefix]}/ may)"
          status=1
        fi
      done
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include' "$folder" --include='*.h' --include='*.cpp' --include='*.hpp' || true)
done
# Every folder with sources has a place in the table.
for dir in */; do
  dir=${dir%/}
  case $dir in tests|bench|scripts|packaging|build*|cmake) continue ;; esac
  if compgen -G "$dir/*.cpp" >/dev/null || compgen -G "$dir/*.h" >/dev/null; then
    if [ -z "${allowed[$dir]+set}" ]; then
      echo "$dir/: not in the layer table of scripts/check-layers.sh"
      status=1
    fi
  fi
done
if [ $status -eq 0 ]; then echo "layers: every include points down"; fi
exit $status
