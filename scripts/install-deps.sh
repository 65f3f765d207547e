#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing, fuzzing and
# benchmarking bag_cloud_dump needs. Does nothing slow when all are present.
set -euo pipefail

PACKAGES=(
  # build
  cmake make g++ clang-format
  librosbag-storage-dev libsensor-msgs-dev libstd-msgs-dev
  # ROS 1 bags left open by their recorder: their chunks read by hand
  libroslz4-dev libbz2-dev
  # TF messages: the tests and the recording writers make them
  libtf2-msgs-dev
  libpcl-conversions-dev libpcl-dev libboost-dev libeigen3-dev libpng-dev
  nlohmann-json3-dev libcairo2-dev
  # ROS 2 bags: sqlite3 storage, CDR messages, zstd compression, metadata.yaml
  libsqlite3-dev libfastcdr-dev libzstd-dev libyaml-cpp-dev
  # MCAP: lz4-compressed chunks, their CRC-32 (libdeflate reads, zlib writes)
  liblz4-dev libdeflate-dev zlib1g-dev
  # tests, sanitizers and fuzzing (llvm: the symbolizer clang's sanitizers
  # name functions with, and match suppressions by)
  libgtest-dev clang libclang-rt-14-dev llvm
  # benchmarks
  python3-rosbag python3-numpy time
  # packaging: catkin workspace, .deb (CPack's Debian generator runs file), man page
  catkin dpkg-dev file groff-base man-db
)

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$package")
  fi
done
# The MCAP cross-check runs the format authors' own library under Node.js;
# a machine that has node and npm from elsewhere keeps them.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)

# That library and its zstd and lz4 codecs, from the npm registry, as the
# lock file pins them.
install_js() {
  local dir
  dir="$(dirname "$0")/../tests/mcap_js"
  if [ ! -d "$dir/node_modules" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules" ]; then
    echo "install-deps: installing the MCAP cross-check's npm packages"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null && touch node_modules)
  fi
}

if [ ${#missing[@]} -eq 0 ]; then
  install_js
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt_options=()
if [ "${CI:-}" = true ]; then
  # A throwaway CI machine: no fsync for every file unpacked, and no manual
  # page index rebuilt after every package (a minute or more of the install).
  apt_options=(-o Dpkg::Options::=--force-unsafe-io)
  echo 'man-db man-db/auto-update boolean false' | "${sudo[@]}" debconf-set-selections
fi
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${apt_options[@]}" "${missing[@]}" \
  >/dev/null
install_js
