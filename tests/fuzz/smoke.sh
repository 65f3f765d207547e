#!/usr/bin/env bash
# Runs the fuzzers for a short while each and checks what they find.
#   smoke.sh FUZZ_BUILD_DIR TOOL SECONDS
# The message fuzzers (ROS 1 serialization and ROS 2 CDR) and the MCAP file
# fuzzer cover the tool's own code: any finding fails.
# The bag-file fuzzer also reaches into rosbag, which crashes on some damaged
# files; the tool contains those in a child process, so every input that
# crashed the fuzzer is replayed through TOOL, which must end with status 0
# or 1, never by a signal or a hang.
set -euo pipefail
build=$1
tool=$2
seconds=${3:-60}
work=$build/fuzz-smoke
rm -rf "$work"
mkdir -p "$work/bag" "$work/bag-findings"
"$build/tests/fuzz/write_fuzz_seeds" "$work/seeds"

for fuzzer in cloud_message_fuzzer:cloud cdr_cloud_fuzzer:cdr; do
  name=${fuzzer%%:*}
  seeds=${fuzzer##*:}
  mkdir -p "$work/$name"
  echo "== $name, ${seconds}s"
  "$build/tests/fuzz/$name" -max_total_time="$seconds" -max_len=4096 \
    -timeout=10 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/$name-" \
    "$work/$name" "$work/seeds/$seeds" 2>&1 | grep -E '^(stat::number_of_executed_units|stat::new_units_added|==[0-9]+==ERROR|SUMMARY)' || true
  findings=$(find "$work" -maxdepth 1 -type f -name "$name-*")
  if [ -n "$findings" ]; then
    echo "$name found a fault:" $findings
    exit 1
  fi
done

# The MCAP reader and the walk of unclosed ROS 1 bags are the tool's own:
# any finding fails, after its replay through the tool shows what a user
# would see.
for fuzzer in mcap_file_fuzzer:mcap unindexed_bag_fuzzer:unindexed; do
name=${fuzzer%%:*}
corpus=${fuzzer##*:}
mkdir -p "$work/$name"
echo "== $name, ${seconds}s"
"$build/tests/fuzz/$name" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
  -timeout=10 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/$name-" \
  "$work/$name" "$work/seeds/$corpus" 2>&1 | grep -E '^(stat::number_of_executed_units|stat::new_units_added|==[0-9]+==ERROR|SUMMARY)' || true
findings=$(find "$work" -maxdepth 1 -type f -name "$name-*")
if [ -n "$findings" ]; then
  for input in $findings; do
    status=0
    timeout 60 "$tool" -s "$input" >/dev/null 2>"$work/replay.err" || status=$?
    echo "$name found a fault: $input (through the tool: status $status)"
    head -c 2000 "$work/replay.err"
  done
  exit 1
fi
done

echo "== bag_file_fuzzer, ${seconds}s"
"$build/tests/fuzz/bag_file_fuzzer" -fork=1 -ignore_crashes=1 -ignore_ooms=1 \
  -ignore_timeouts=1 -timeout=10 -rss_limit_mb=2048 -max_total_time="$seconds" \
  -max_len=65536 -close_fd_mask=3 -artifact_prefix="$work/bag-findings/" \
  "$work/bag" "$work/seeds/bag" >"$work/bag.log" 2>&1 || true
grep -E '^#[0-9]+: ' "$work/bag.log" | tail -1 || true

findings=0
for input in "$work"/bag-findings/*; do
  [ -e "$input" ] || continue
  findings=$((findings + 1))
  # Alone, and merged with itself while every cloud is exported.
  for args in "" "--merge --pcd $work/pcd $input"; do
    status=0
    # shellcheck disable=SC2086
    timeout 60 "$tool" $args "$input" >/dev/null 2>"$work/replay.err" || status=$?
    if [ "$status" -ne 0 ] && [ "$status" -ne 1 ]; then
      echo "not contained: $input ${args:+(with $args) }ends with status $status"
      cat "$work/replay.err"
      exit 1
    fi
  done
  rm -rf "$work/pcd"
done
echo "bag_file_fuzzer: $findings inputs crashed or exhausted the in-process library;" \
  "all end cleanly through the tool"
