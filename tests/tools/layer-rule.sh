#!/usr/bin/env bash
# The product's layers hold (cmake/Layers.cmake):
#   layer-rule.sh SOURCE BUILD WORK COMPILER
# For every library of the product, with the include folders and definitions
# its sources are compiled with (BUILD/layers/<folder>.rule): an #include of a
# header of each folder it does not use (the layers above it, its siblings
# and the layers below that it does not name) fails with "No such file or
# directory", and the headers of its own folder and of every folder it uses
# are found. Every folder it uses is of a lower layer. And configuring stops
# when a library names a folder of its own layer or of a higher one, beside
# the legitimate use of a lower one that configures.
set -uo pipefail
source_dir=$1 build=$2 work=$3 compiler=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1  # quoted includes are looked up beside the probe first: never in the source folder
[ -s "$build/layers/order.txt" ] || { echo "no $build/layers/order.txt: configure the build first"; exit 1; }

declare -A rank_of header_of
folders=()
while read -r rank folder; do
  rank_of[$folder]=$rank
  folders+=("$folder")
  header_of[$folder]=$(cd "$source_dir/$folder" && LC_ALL=C ls -- *.h | head -n 1)
done <"$build/layers/order.txt"

# preprocess FOLDER HEADER...: the headers included with FOLDER's flags; the compiler's output in $work/out.
preprocess() {
  local folder=$1 rank uses includes defines
  shift
  # shellcheck disable=SC1090
  source "$build/layers/$folder.rule"
  printf '#include "%s"\n' "$@" >"$work/probe.cpp"
  "$compiler" -std=c++20 -E -o /dev/null "${includes[@]/#/-I}" "${defines[@]/#/-D}" "$work/probe.cpp" >"$work/out" 2>&1
}

refused=0 accepted=0
for folder in "${folders[@]}"; do
  # shellcheck disable=SC1090
  source "$build/layers/$folder.rule"
  visible=("$folder")
  for used in $uses; do
    visible+=("$used")
    [ -n "${rank_of[$used]:-}" ] || { fail "$folder uses $used, which is no layer"; continue; }
    [ "${rank_of[$used]}" -lt "$rank" ] || fail "$folder uses $used, which is not below it"
  done
  probes=()
  for shown in "${visible[@]}"; do probes+=("$shown/${header_of[$shown]}"); done
  if preprocess "$folder" "${probes[@]}"; then
    accepted=$((accepted + ${#probes[@]}))
  else
    fail "$folder does not find the headers of the folders it uses (${probes[*]}):"; cat "$work/out"
  fi
  for other in "${folders[@]}"; do
    [[ " ${visible[*]} " == *" $other "* ]] && continue
    header="$other/${header_of[$other]}"
    if preprocess "$folder" "$header"; then
      fail "$folder includes $header, a folder it does not use (layer ${rank_of[$other]}, its own ${rank_of[$folder]})"
    elif ! grep -q -F "$header: No such file or directory" "$work/out"; then
      fail "$folder including $header failed otherwise:"; cat "$work/out"
    else
      refused=$((refused + 1))
    fi
  done
done
echo "includes: $refused of unused folders refused, $accepted of their own and used folders found"

# The configuration's check, on layers of its own: a library names a lower
# layer (configures), its own layer, a sibling or a higher layer (stops).
mkdir -p "$work/configure"
cat >"$work/configure/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.21)
project(layer_rule NONE)
include($source_dir/cmake/Layers.cmake)
qel_layers(common logging "scheduler instru" jobs)
qel_check_layer_uses(\${FOLDER} \${USES})
EOF
while read -r expect folder uses; do
  out="$work/configure-$folder-${uses// /-}"
  cmake -S "$work/configure" -B "$out" -DFOLDER="$folder" -DUSES="${uses// /;}" >"$out.log" 2>&1
  rc=$?
  if [ "$expect" = configures ]; then
    [ $rc -eq 0 ] || { fail "$folder using $uses did not configure:"; cat "$out.log"; }
  elif [ $rc -eq 0 ]; then
    fail "$folder using $uses configured"
  elif ! grep -q -F "$folder/ may not use ${uses##* }/" "$out.log"; then
    fail "$folder using $uses stopped for another reason:"; cat "$out.log"
  else
    echo "refused: $folder using $uses"
  fi
done <<'EOF'
configures jobs common logging scheduler instru
configures instru common
stops      logging jobs
stops      common logging
stops      instru scheduler
stops      jobs common jobs
EOF

[ $failures -eq 0 ] || { echo "$failures check(s) failed (kept: $work)"; exit 1; }
rm -rf "$work"
echo "the layers hold: ${#folders[@]} libraries"
