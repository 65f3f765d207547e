#!/usr/bin/python3
"""Benchmark of bag_cloud_dump against the floor and the peer.

Writes (once, cached under bench/cache/) a realistic ~1 GiB lidar bag, an
lz4-compressed copy and a 256 MiB bag, then times side by side:
  - the floor: cat of the file, and read_floor (rosbag walking the view and
    decoding every cloud, no conversion);
  - the tool, stdout to /dev/null;
  - the tool with --full-conversion (every point through pcl::fromROSMsg-style
    conversion), for reference;
  - the peer: bench/peer_report.py, python3-rosbag + numpy printing the same
    report;
  - the health summary, -n 0 --summary, which reads every point, and its
    peer bench/peer_summary.py, which computes the same JSON in Python;
  - choosing clouds without decoding the others: --index of the last cloud,
    and a --start window near the end;
  - the export of every cloud with --pcd, next to cp of the same bag;
  - a picture of every sweep, -n 0 --image DIR, and the timeline of the
    walk, -n 0 --timeline FILE, next to the summary whose numbers it draws;
  - a ROS 2 copy of the 1 GiB bag (rosbag2 sqlite3, one .db3 file, written
    by write_ros2_bag): the report and the summary against read_floor_ros2,
    SQLite reading every message and Fast CDR deserializing every cloud;
  - two MCAP copies of it (ros2 profile, 768 KiB chunks as rosbag2 writes
    them; one plain, one zstd): the report, the summary, --index of the last
    cloud and a --start window against read_floor_mcap (every chunk read and
    decompressed, every cloud deserialized with Fast CDR, in file order), and
    the format authors' own reader (@mcap/core under Node.js, every message).
Each is run --runs times (5 by default) on a warm page cache; the table shows
the median and min-max wall time, throughput and peak RSS (of the process and
its children), then the ratios the targets are stated in. Ratios to the floor
are taken side by side: the floor runs between the command's runs, and the
ratio is the median of the paired ratios.

    bench/bench.py [--build build] [--runs 5]
    bench/bench.py --smoke        # a few seconds on a small bag, one run each
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(ROOT, "bench", "cache")
PEER = os.path.join(ROOT, "bench", "peer_report.py")
PEER_SUMMARY = os.path.join(ROOT, "bench", "peer_summary.py")
# A sweep of the benchmark bags: 64 x 1800 points of 32 bytes.
LARGEST_CLOUD_MIB = 64 * 1800 * 32 / 2**20


def ensure_bag(build, name, sweeps, compression="none", columns=1800):
    path = os.path.join(CACHE, name)
    if not os.path.exists(path):
        os.makedirs(CACHE, exist_ok=True)
        print("writing %s (%d sweeps of 64 x %d points, %s)" % (path, sweeps, columns, compression),
              flush=True)
        subprocess.run([os.path.join(build, "write_sample_bag"), path + ".part", "--sweeps",
                        str(sweeps), "--columns", str(columns), "--compression", compression],
                       check=True)
        os.rename(path + ".part", path)
    return path


def ensure_ros2(build, bag):
    """A ROS 2 copy of `bag` in one .db3 file, written once."""
    path = bag[:-len(".bag")] + "-ros2.db3"
    if not os.path.exists(path):
        print("writing %s (a ROS 2 copy of %s)" % (path, os.path.basename(bag)), flush=True)
        part = path[:-len(".db3")] + ".part.db3"
        subprocess.run([os.path.join(build, "write_ros2_bag"), bag, part], check=True)
        os.rename(part, path)
    return path


def ensure_mcap(build, bag, compression):
    """An MCAP copy of `bag`, written once."""
    path = bag[:-len(".bag")] + ("-%s.mcap" % compression if compression else ".mcap")
    if not os.path.exists(path):
        print("writing %s (an MCAP copy of %s)" % (path, os.path.basename(bag)), flush=True)
        part = path[:-len(".mcap")] + ".part.mcap"
        extra = ["--compression", compression] if compression else []
        subprocess.run([os.path.join(build, "write_ros2_bag"), bag, part] + extra, check=True)
        os.rename(part, path)
    return path


def ensure_unindexed(bag):
    """A copy of `bag` as a recorder leaves it when it is killed after its last
    chunk: the bag header's index position and counts 0, written once."""
    path = bag[:-len(".bag")] + "-unindexed.bag"
    if not os.path.exists(path):
        print("writing %s (%s without its index)" % (path, os.path.basename(bag)), flush=True)
        with open(bag, "rb") as f:
            data = bytearray(f.read())
        for field, size in ((b"index_pos=", 8), (b"conn_count=", 4), (b"chunk_count=", 4)):
            at = data.find(field) + len(field)
            data[at:at + size] = bytes(size)
        with open(path + ".part", "wb") as f:
            f.write(data)
        os.rename(path + ".part", path)
    return path


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown CPU"


def machine():
    return "%s, %d cores" % (cpu_model(), os.cpu_count())


def run_once(command, expected=(0,)):
    """Wall seconds and peak RSS in MiB of the command and its children.

    GNU time starts the command from a small process; a child forked from this
    Python would carry Python's resident size into its peak."""
    report = os.path.join(CACHE, "time.out")
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        # A bag walked whole but not whole says so on stderr; no one reads it here.
        done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + command, stdout=null,
                              stderr=null if expected != (0,) else None)
        wall = time.perf_counter() - start
    if done.returncode not in expected:
        sys.exit("failed: %s" % " ".join(command))
    with open(report) as f:
        peak_kib = int(f.read().split()[-1])
    return wall, peak_kib / 1024.0


def measure(label, command, bag, clouds, runs, floor=None, expected=(0,)):
    """Times the command; with `floor`, runs the floor between its runs, so
    that the ratio to the floor ("ratio", the median of the paired ratios) is
    taken side by side, not across minutes in which the machine drifts."""
    run_once(command, expected)  # warm the page cache and the libraries
    samples, ratios = [], []
    for _ in range(runs):
        samples.append(run_once(command, expected))
        if floor is not None:
            ratios.append(samples[-1][0] / run_once(floor)[0])
    walls = [wall for wall, _ in samples]
    median = statistics.median(walls)
    size_mb = os.path.getsize(bag) / 1e6
    return {"label": label, "median": median, "min": min(walls), "max": max(walls),
            "mbps": size_mb / median, "clouds_per_s": clouds / median,
            "rss": max(rss for _, rss in samples),
            "ratio": statistics.median(ratios) if ratios else None}


def cloud_count(build, bag, floor="read_floor"):
    out = subprocess.run([os.path.join(build, floor), bag], check=True,
                         capture_output=True, text=True).stdout
    return int(out.split()[0])


def print_table(title, rows):
    print("\n%s (%s)" % (title, machine()))
    print("%-34s %9s %17s %9s %10s %9s %9s" % ("", "median s", "min-max s", "MB/s", "clouds/s",
                                               "peak RSS", "x floor"))
    for r in rows:
        ratio = "%9.2f" % r["ratio"] if r["ratio"] is not None else ""
        print("%-34s %9.3f %8.3f-%-8.3f %9.0f %10.0f %6.1f MiB %s" % (
            r["label"], r["median"], r["min"], r["max"], r["mbps"], r["clouds_per_s"], r["rss"],
            ratio))


def bench_bag(build, bag, runs, with_peer=True, window_start=None):
    tool = os.path.join(build, "bag_cloud_dump")
    clouds = cloud_count(build, bag)
    out_dir = os.path.join(CACHE, "export")
    floor = [os.path.join(build, "read_floor"), bag]
    rows = {
        "cat": measure("cat > /dev/null", ["cat", bag], bag, clouds, runs),
        "floor": measure("floor: rosbag decode, no conversion",
                         [os.path.join(build, "read_floor"), bag], bag, clouds, runs),
        "tool": measure("bag_cloud_dump", [tool, bag], bag, clouds, runs, floor),
        "full": measure("bag_cloud_dump --full-conversion", [tool, "--full-conversion", bag], bag,
                        clouds, runs),
        "summary": measure("bag_cloud_dump -n 0 --summary", [tool, "-n", "0", "--summary", bag],
                           bag, clouds, runs, floor),
    }
    if window_start is not None:
        # The timeline draws the summary's numbers: its "x floor" is x summary.
        timeline = os.path.join(CACHE, "timeline.png")
        rows["timeline"] = measure("-n 0 --timeline FILE (x summary)",
                                   [tool, "-n", "0", "--timeline", timeline, bag], bag, clouds, runs,
                                   [tool, "-n", "0", "--summary", bag])
        os.remove(timeline)
        rows["last"] = measure("--index of the last cloud",
                               [tool, "-n", "0", "--index", str(clouds - 1), bag], bag, clouds, runs,
                               floor)
        rows["window"] = measure("-n 0 --start +%g" % window_start,
                                 [tool, "-n", "0", "--start", "+%g" % window_start, bag], bag,
                                 clouds, runs, floor)
        subprocess.run(["rm", "-rf", out_dir], check=True)
        os.makedirs(out_dir)
        rows["pcd"] = measure("-n 0 --pcd DIR, every cloud", [tool, "-n", "0", "--pcd", out_dir, bag],
                              bag, clouds, runs)
        rows["cp"] = measure("cp of the bag", ["cp", bag, os.path.join(out_dir, "copy.bag")], bag,
                             clouds, runs)
        rows["image"] = measure("-n 0 --image DIR", [tool, "-n", "0", "--image", out_dir, bag], bag,
                                clouds, runs, floor)

        subprocess.run(["rm", "-rf", out_dir], check=True)
    if with_peer:
        rows["peer"] = measure("peer: python3-rosbag + numpy", ["/usr/bin/python3", PEER, bag],
                               bag, clouds, runs)
        rows["peer_summary"] = measure("peer summary: python3-rosbag + numpy",
                                       ["/usr/bin/python3", PEER_SUMMARY, bag], bag, clouds, runs)
    title = "%s: %.0f MB, %d clouds, %d runs each" % (os.path.basename(bag),
                                                      os.path.getsize(bag) / 1e6, clouds, runs)
    print_table(title, rows.values())
    return rows


def bench_unindexed(build, bag, runs):
    """A killed recorder's copy of the bag, walked in file order (status 1),
    against rosbag's floor on the indexed original; and the fixed cost of a
    small bag's whole run, beside --version."""
    tool = os.path.join(build, "bag_cloud_dump")
    clouds = cloud_count(build, bag)
    unindexed = ensure_unindexed(bag)
    floor = [os.path.join(build, "read_floor"), bag]
    small = ensure_bag(build, "small-3.bag", 3, columns=64)
    rows = {
        "floor": measure("floor: rosbag on the indexed bag", floor, bag, clouds, runs),
        "tool": measure("bag_cloud_dump, no index", [tool, unindexed], unindexed, clouds, runs,
                        floor, expected=(1,)),
        "summary": measure("-n 0 --summary, no index", [tool, "-n", "0", "--summary", unindexed],
                           unindexed, clouds, runs, floor, expected=(1,)),
        "version": measure("bag_cloud_dump --version", [tool, "--version"], small, 1, runs * 4),
        "small": measure("a 3-cloud bag, whole run", [tool, small], small, 3, runs * 4),
        "small_floor": measure("rosbag floor on the 3-cloud bag",
                               [os.path.join(build, "read_floor"), small], small, 3, runs * 4),
    }
    title = "%s: %.0f MB, %d clouds, %d runs each" % (os.path.basename(unindexed),
                                                      os.path.getsize(unindexed) / 1e6, clouds, runs)
    print_table(title, rows.values())
    return rows


def bench_ros2(build, db3, runs):
    tool = os.path.join(build, "bag_cloud_dump")
    clouds = cloud_count(build, db3, "read_floor_ros2")
    floor = [os.path.join(build, "read_floor_ros2"), db3]
    rows = {
        "floor": measure("floor: SQLite + Fast CDR decode", floor, db3, clouds, runs),
        "tool": measure("bag_cloud_dump", [tool, db3], db3, clouds, runs, floor),
        "summary": measure("bag_cloud_dump -n 0 --summary", [tool, "-n", "0", "--summary", db3],
                           db3, clouds, runs, floor),
    }
    title = "%s (ROS 2): %.0f MB, %d clouds, %d runs each" % (
        os.path.basename(db3), os.path.getsize(db3) / 1e6, clouds, runs)
    print_table(title, rows.values())
    return rows


def bench_mcap(build, bag, mcap, runs, window_start):
    tool = os.path.join(build, "bag_cloud_dump")
    clouds = cloud_count(build, mcap, "read_floor_mcap")
    floor = [os.path.join(build, "read_floor_mcap"), mcap]
    rows = {
        "floor": measure("floor: chunks + Fast CDR decode", floor, mcap, clouds, runs),
        "tool": measure("bag_cloud_dump", [tool, mcap], mcap, clouds, runs, floor),
        "tool_ros1": measure("bag_cloud_dump (x ROS 1 floor)", [tool, mcap], mcap, clouds, runs,
                             [os.path.join(build, "read_floor"), bag]),
        "summary": measure("bag_cloud_dump -n 0 --summary", [tool, "-n", "0", "--summary", mcap],
                           mcap, clouds, runs, floor),
        "last": measure("--index of the last cloud",
                        [tool, "-n", "0", "--index", str(clouds - 1), mcap], mcap, clouds, runs,
                        floor),
        "window": measure("-n 0 --start +%g" % window_start,
                          [tool, "-n", "0", "--start", "+%g" % window_start, mcap], mcap, clouds,
                          runs, floor),
        "peer": measure("peer: @mcap/core, every message",
                        ["node", os.path.join(ROOT, "tests", "mcap_js", "mcap_tool.mjs"), "read",
                         mcap], mcap, clouds, runs),
    }
    title = "%s (MCAP): %.0f MB, %d clouds, %d runs each" % (
        os.path.basename(mcap), os.path.getsize(mcap) / 1e6, clouds, runs)
    print_table(title, rows.values())
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--smoke", action="store_true", help="small bag, one run, no targets")
    args = parser.parse_args()

    # Ratios that lean on the second core differ between machines: every
    # figure goes with the CPU it was measured on.
    print("machine: %s, %d cores, %.0f GiB, %s" % (
        cpu_model(), os.cpu_count(),
        os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30, os.uname().release))
    if args.smoke:
        bag = ensure_bag(args.build, "smoke.bag", 5, columns=200)
        bench_bag(args.build, bag, 1, window_start=0.3)
        bench_ros2(args.build, ensure_ros2(args.build, bag), 1)
        bench_mcap(args.build, bag, ensure_mcap(args.build, bag, "zstd"), 1, 0.3)
        bench_unindexed(args.build, bag, 1)
        return

    big = ensure_bag(args.build, "bench-1g.bag", 291)
    big_lz4 = ensure_bag(args.build, "bench-1g-lz4.bag", 291, "lz4")
    quarter = ensure_bag(args.build, "bench-256m.bag", 73)
    plain = bench_bag(args.build, big, args.runs, window_start=25)
    lz4 = bench_bag(args.build, big_lz4, args.runs, with_peer=False)
    small = bench_bag(args.build, quarter, args.runs, with_peer=False)
    ros2 = bench_ros2(args.build, ensure_ros2(args.build, big), args.runs)
    mcap = bench_mcap(args.build, big, ensure_mcap(args.build, big, ""), args.runs, 25)
    mcap_zstd = bench_mcap(args.build, big, ensure_mcap(args.build, big, "zstd"), args.runs, 25)
    unindexed = bench_unindexed(args.build, big, args.runs)
    # Peak memory may be the floor's + two chunks (one cloud each here) + 16 MiB.
    chunk_mib = LARGEST_CLOUD_MIB

    print("\ntargets")
    checks = [
        ("uncompressed: tool / floor <= 1.3", plain["tool"]["ratio"],
         1.3, "<="),
        ("uncompressed: peer / tool >= 3", plain["peer"]["median"] / plain["tool"]["median"], 3,
         ">="),
        ("lz4: tool / floor <= 1.3", lz4["tool"]["ratio"], 1.3, "<="),
        ("1 GiB: tool RSS - floor RSS <= 16 MiB", plain["tool"]["rss"] - plain["floor"]["rss"], 16,
         "<="),
        ("256 MiB: tool RSS - floor RSS <= 16 MiB", small["tool"]["rss"] - small["floor"]["rss"],
         16, "<="),
        ("tool RSS, 1 GiB vs 256 MiB bag (MiB)", plain["tool"]["rss"] - small["tool"]["rss"], 4,
         "<="),
        ("uncompressed: summary / floor <= 1.5",
         plain["summary"]["ratio"], 1.5, "<="),
        ("lz4: summary / floor <= 1.5", lz4["summary"]["ratio"], 1.5,
         "<="),
        ("peer summary / summary >= 5",
         plain["peer_summary"]["median"] / plain["summary"]["median"], 5, ">="),
        ("1 GiB: summary RSS - floor RSS <= 16 MiB",
         plain["summary"]["rss"] - plain["floor"]["rss"], 16, "<="),
        ("256 MiB: summary RSS - floor RSS <= 16 MiB",
         small["summary"]["rss"] - small["floor"]["rss"], 16, "<="),
        ("--index of the last cloud / floor <= 0.2",
         plain["last"]["ratio"], 0.2, "<="),
        ("--start +25 / floor <= 0.2", plain["window"]["ratio"], 0.2,
         "<="),
        ("--image / floor <= 5", plain["image"]["ratio"], 5, "<="),
        ("--timeline / summary <= 1.1", plain["timeline"]["ratio"], 1.1, "<="),
        ("--image RSS - floor RSS <= 64 MiB", plain["image"]["rss"] - plain["floor"]["rss"], 64,
         "<="),
        ("ROS 2: tool / floor <= 1.3", ros2["tool"]["ratio"], 1.3, "<="),
        ("ROS 2: summary / floor <= 1.5", ros2["summary"]["ratio"], 1.5, "<="),
        ("--pcd RSS - floor RSS - 2 x largest cloud <= 16 MiB",
         plain["pcd"]["rss"] - plain["floor"]["rss"] - 2 * LARGEST_CLOUD_MIB, 16, "<="),
    ]
    for name, rows in (("MCAP", mcap), ("MCAP zstd", mcap_zstd)):
        checks += [
            ("%s: tool / floor <= 1.3" % name, rows["tool"]["ratio"], 1.3, "<="),
            ("%s: summary / floor <= 1.5" % name, rows["summary"]["ratio"], 1.5, "<="),
            ("%s: --index of the last cloud / floor <= 0.2" % name, rows["last"]["ratio"], 0.2,
             "<="),
            ("%s: --start +25 / floor <= 0.2" % name, rows["window"]["ratio"], 0.2, "<="),
            ("%s: @mcap/core / tool >= 3" % name,
             rows["peer"]["median"] / rows["tool"]["median"], 3, ">="),
            ("%s: tool RSS - floor RSS - 2 chunks <= 16 MiB" % name,
             rows["tool"]["rss"] - rows["floor"]["rss"] - 2 * chunk_mib, 16, "<="),
            ("%s: summary RSS - floor RSS - 2 chunks <= 16 MiB" % name,
             rows["summary"]["rss"] - rows["floor"]["rss"] - 2 * chunk_mib, 16, "<="),
        ]
    checks.append(("MCAP: tool / ROS 1 floor on the ROS 1 bag <= 1.3",
                   mcap["tool_ros1"]["ratio"], 1.3, "<="))
    checks += [
        ("no index: tool / rosbag floor on the indexed bag <= 1.3", unindexed["tool"]["ratio"],
         1.3, "<="),
        ("a 3-cloud bag's whole run (ms) <= 20", unindexed["small"]["median"] * 1000, 20, "<="),
        ("  (--version alone, ms)", unindexed["version"]["median"] * 1000, 1e9, "<="),
    ]
    print("(%s)" % machine())
    for label, value, target, sense in checks:
        met = value <= target if sense == "<=" else value >= target
        print("%-56s %8.2f  %s" % (label, value, "met" if met else "NOT MET"))


if __name__ == "__main__":
    main()
