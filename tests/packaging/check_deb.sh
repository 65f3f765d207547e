#!/usr/bin/env bash
# Builds the .deb, checks its Depends and files, unpacks it into a scratch
# root and runs the installed tool on the sample bag: same report as the build,
# and a PCD export and a timeline through the installed modules.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$build" && cpack -G DEB -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/bag-cloud-dump_*.deb)

depends=$(dpkg-deb -f "$deb" Depends)
for library in librosbag-storage4d libroscpp-serialization0d libpcl-common1.13; do
  if ! grep -q "$library" <<<"$depends"; then
    echo "Depends lacks $library: $depends"
    exit 1
  fi
done
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in ./usr/bin/bag_cloud_dump ./usr/lib/bag_cloud_dump/bag_cloud_dump_pcd.so \
  ./usr/lib/bag_cloud_dump/bag_cloud_dump_timeline.so ./usr/share/man/man1/bag_cloud_dump.1.gz; do
  if ! grep -qx "$file" <<<"$files"; then
    echo "the package lacks $file; it holds:"
    echo "$files"
    exit 1
  fi
done

dpkg -x "$deb" "$scratch/root"
"$scratch/root/usr/bin/bag_cloud_dump" "$build/sample.bag" >"$scratch/installed.txt"
"$build/bag_cloud_dump" "$build/sample.bag" >"$scratch/built.txt"
cmp "$scratch/installed.txt" "$scratch/built.txt"
# The PCD writer and timeline modules are found from the installed executable.
"$scratch/root/usr/bin/bag_cloud_dump" -n 0 --index 0 --pcd "$scratch/pcd" \
  --timeline "$scratch/timeline.png" "$build/sample.bag" >/dev/null
test -s "$scratch"/pcd/000000_*.pcd
test -s "$scratch/timeline.png"
