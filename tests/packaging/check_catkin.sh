#!/usr/bin/env bash
# Builds the tool as a catkin package in a throwaway workspace, installs it
# there and runs the installed tool on the sample bag: same report as the
# plain build.
set -euo pipefail
source_dir=$1
build=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/ws/src"
ln -s "$source_dir" "$scratch/ws/src/bag_cloud_dump"
# catkin runs Python helpers; Debian's interpreter has catkin_pkg, while the
# first python3 on PATH may be another one.
python=$(command -v /usr/bin/python3 || command -v python3)
(cd "$scratch/ws" && catkin_make install -DCMAKE_BUILD_TYPE=Release \
  -DPYTHON_EXECUTABLE="$python" >"$scratch/catkin_make.log" 2>&1) || {
  tail -40 "$scratch/catkin_make.log"
  exit 1
}
installed=$scratch/ws/install/lib/bag_cloud_dump/bag_cloud_dump
"$installed" "$build/sample.bag" >"$scratch/installed.txt"
"$build/bag_cloud_dump" "$build/sample.bag" >"$scratch/built.txt"
cmp "$scratch/installed.txt" "$scratch/built.txt"
test -f "$scratch/ws/install/share/man/man1/bag_cloud_dump.1.gz"
"$installed" -n 0 --index 0 --pcd "$scratch/pcd" --timeline "$scratch/timeline.png" \
  "$build/sample.bag" >/dev/null
test -s "$scratch"/pcd/000000_*.pcd
test -s "$scratch/timeline.png"
