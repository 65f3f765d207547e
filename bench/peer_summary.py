#!/usr/bin/python3
"""The health summary a careful user would write in Python: python3-rosbag
reads the bag and numpy reads every point's fields from the PointCloud2
bytes. Prints the summary's JSON document (problem codes without their
texts).

Used as the benchmark's peer for the summary and, in the tests, as an
independent check of the tool's numbers.

    peer_summary.py BAG > summary.json
"""
import json
import math
import struct
import sys

import numpy as np
import rosbag

from peer_report import CLOUD_MD5, RECORD, parse_cloud

DTYPES = {1: "<i1", 2: "<u1", 3: "<i2", 4: "<u2", 5: "<i4", 6: "<u4", 7: "<f4", 8: "<f8"}
NAMES = {1: "INT8", 2: "UINT8", 3: "INT16", 4: "UINT16", 5: "INT32", 6: "UINT32", 7: "FLOAT32",
         8: "FLOAT64"}
RING_NAMES = ["ring", "channel", "laser_id", "line"]
TIME_NAMES = ["time", "t", "timestamp", "time_stamp", "offset_time", "time_offset"]
TIME_PAIR_BASES = ["time", "timestamp", "t", "time_stamp"]
VELOCITY_NAMES = ["velocity", "vx", "vrad", "doppler", "radial_velocity"]
INTEGERS = (1, 2, 3, 4, 5, 6)
UNITS = [("s", 1.0, 0.2, 2.0), ("ms", 1e-3, 200.0, 2000.0), ("us", 1e-6, 2e5, 2e6),
         ("ns", 1e-9, 2e8, 2e9)]


def median(values):
    if not values:
        return None
    ordered = sorted(values)
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return float(ordered[middle])
    return (float(ordered[middle - 1]) + float(ordered[middle])) / 2


def malformed(fields, height, width, point_step, row_step, ndata):
    """Whether PCL's conversion would read outside the message."""
    points = width * height
    if points > 0xFFFFFFFF:
        return True
    if points == 0:
        return False
    if point_step == 0 or row_step < width * point_step or ndata < height * row_step:
        return True
    for name, datatype, _record_offset, size in RECORD:
        for fname, offset, ftype, count in fields:
            if fname == name and ftype == datatype and count in (0, 1):
                if offset + size > point_step:
                    return True
                break
    return False


def readable(fields, point_step, name):
    """The first field called name, if its datatype is known and it fits."""
    for field in fields:
        if field[0] == name:
            _name, offset, datatype, _count = field
            if datatype in DTYPES and offset + int(DTYPES[datatype][-1]) <= point_step:
                return field
            return None
    return None


def by_priority(fields, point_step, names):
    for name in names:
        if any(f[0] == name for f in fields):
            return readable(fields, point_step, name)
    return None


def time_source(fields, point_step):
    """(name, seconds field, nanoseconds field or None), or None."""
    for name in TIME_NAMES:
        if any(f[0] == name for f in fields):
            field = readable(fields, point_step, name)
            return None if field is None else (name, field, None)
    for base in TIME_PAIR_BASES:
        names = [f[0] for f in fields]
        if base + "_sec" in names and base + "_nsec" in names:
            sec = readable(fields, point_step, base + "_sec")
            nsec = readable(fields, point_step, base + "_nsec")
            if sec is None or nsec is None or sec[2] not in INTEGERS or nsec[2] not in INTEGERS:
                return None
            return (base + "_sec+" + base + "_nsec", sec, nsec)
    return None


def sensor_kind(fields):
    names = {f[0] for f in fields}
    ring = any(n in names for n in RING_NAMES)
    time = any(n in names for n in TIME_NAMES) or any(
        b + "_sec" in names and b + "_nsec" in names for b in TIME_PAIR_BASES)
    if any(n in names for n in VELOCITY_NAMES):
        return "radar"
    if ("rgb" in names or "rgba" in names) and not ring and not time:
        return "camera"
    return "lidar" if ring or time else "unknown"


def values(data, height, width, point_step, row_step, field):
    dtype = np.dtype(DTYPES[field[2]])
    return np.ndarray((height, width), dtype, data, field[1], (row_step, point_step)).ravel()


class Topic:
    def __init__(self, topic, index, fields, unmatched):
        self.topic, self.first_index, self.fields, self.unmatched = topic, index, fields, unmatched
        self.kind = sensor_kind(fields)
        self.types, self.frame_ids = [], {}
        self.clouds = self.malformed = self.organized = self.bigendian = 0
        self.layouts = set()
        self.total = self.empty = 0
        self.pmin = self.pmax = None
        self.stamps, self.indices, self.latencies, self.seqs = [], [], [], []
        self.nonfinite = self.zero = self.dense_wrong = self.dense_false = 0
        self.r2min = self.r2max = None
        self.ring = self.time = self.intensity = None  # [name, datatype, min, max, ...]
        self.ring_seen, self.ring_integer = set(), True
        self.spans, self.time_zero = [], 0
        self.readable_fields = None
        self.clouds_seen = []  # per readable cloud of a lidar-like topic: a dict
        self.repeated, self.repeated_first, self.previous = 0, 0, None


def lower(a, b):
    return b if a is None else min(a, b)


def higher(a, b):
    return b if a is None else max(a, b)


def tally_points(t, fields, height, width, point_step, row_step, data, is_dense, lidar_like,
                 cloud):
    n = width * height
    t.total += n
    t.pmin, t.pmax = lower(t.pmin, n), higher(t.pmax, n)
    if n == 0:
        t.empty += 1
    get = lambda f: values(data, height, width, point_step, row_step, f).astype(np.float64)
    fx, fy, fz = (readable(fields, point_step, c) for c in "xyz")
    if fx and fy and fz and n:
        x, y, z = get(fx), get(fy), get(fz)
        finite = np.isfinite(x) & np.isfinite(y) & np.isfinite(z)
        zero = finite & (x == 0) & (y == 0) & (z == 0)
        bad = int(n - finite.sum())
        t.nonfinite += bad
        t.zero += int(zero.sum())
        if bad and is_dense == 1:
            t.dense_wrong += 1
        keep = finite & ~zero
        if keep.any():
            r2 = x[keep] * x[keep] + y[keep] * y[keep] + z[keep] * z[keep]
            t.r2min, t.r2max = lower(t.r2min, float(r2.min())), higher(t.r2max, float(r2.max()))
        if lidar_like:
            cloud["sweep"] = sweep_of(x[keep], y[keep])
    ring = by_priority(fields, point_step, RING_NAMES)
    if ring:
        if t.ring is None:
            t.ring = [ring[0], ring[2]]
        t.ring_integer = t.ring_integer and ring[2] not in (7, 8)
        if n:
            v = values(data, height, width, point_step, row_step, ring)
            if ring[2] in (7, 8):
                v = np.trunc(v[np.isfinite(v)].astype(np.float64))
            t.ring_seen.update(int(r) for r in np.unique(v))
    time = time_source(fields, point_step)
    if time:
        name, sec, nsec = time
        if t.time is None:
            t.time = [name, sec[2], None, None]
        if n:
            v = get(sec) if nsec is None else get(sec) + get(nsec) * 1e-9
            if np.all(v == 0):
                t.time_zero += 1
            fin = np.isfinite(v)
            if lidar_like and fin.any():
                cloud["times"] = (float(v[fin].min()), float(v[fin].max()))
                cloud["constant"] = bool(fin.sum() >= 2 and v[fin].min() == v[fin].max()
                                         and v[fin].min() != 0)
                cloud["last_not_latest"] = bool(np.isfinite(v[-1]) and v[fin].max() > v[-1])
            if lidar_like and ring:
                r = values(data, height, width, point_step, row_step, ring).astype(np.float64)
                use = fin & np.isfinite(r)
                cloud["unordered"] = bool(backward_steps(np.trunc(r[use]), v[use]) * 100 > fin.sum())
            v = v[fin]
            if v.size:
                low, high = float(v.min()), float(v.max())
                t.time[2], t.time[3] = lower(t.time[2], low), higher(t.time[3], high)
                t.spans.append(high - low)
    intensity = readable(fields, point_step, "intensity")
    if intensity:
        if t.intensity is None:
            t.intensity = [intensity[0], intensity[2], None, None]
        if n:
            v = get(intensity)
            v = v[np.isfinite(v)]
            if v.size:
                t.intensity[2] = lower(t.intensity[2], float(v.min()))
                t.intensity[3] = higher(t.intensity[3], float(v.max()))


def sweep_of(x, y):
    """Coverage, valid points, largest gap and its first sector of valid points."""
    sectors = np.floor(np.degrees(np.arctan2(x, y)) + 180).astype(np.int64)
    sectors[sectors == 360] = 359
    seen = np.zeros(360, bool)
    seen[sectors] = True
    coverage = int(seen.sum())
    if coverage == 0:
        return (0, int(x.size), 360, 0)
    gap, start = 0, 0
    for first in range(360):
        if seen[first] or not seen[(first - 1) % 360]:
            continue
        length = 0
        while not seen[(first + length) % 360]:
            length += 1
        if length > gap:
            gap, start = length, first
    return (coverage, int(x.size), gap, start)


def backward_steps(rings, times):
    """Points whose time is below the time of the previous point of their ring."""
    order = np.argsort(rings, kind="stable")
    r, tm = rings[order], times[order]
    same = r[1:] == r[:-1]
    return int(np.sum(same & (tm[1:] < tm[:-1])))


def stamp_at(first, last):
    tol = max(0.1 * (last - first), 0.001)
    if abs(first) <= tol:
        return "start"
    if abs(last) <= tol:
        return "end"
    if abs((first + last) / 2) <= tol:
        return "middle"
    if first < 0 < last:
        return "inside"
    return "before" if first > 0 else "after"


def time_content(t, time, unit, seconds):
    """The keys after "relative" in a lidar topic's time."""
    lidar_like = t.kind not in ("radar", "camera")
    keys = ["offsets", "stamp_at", "constant_clouds", "overlaps", "overlap_max",
            "overlap_first_index", "last_not_latest", "unordered_clouds"]
    for key in keys:
        time[key] = None
    if not lidar_like:
        return
    time["constant_clouds"] = sum(c.get("constant", False) for c in t.clouds_seen)
    time["last_not_latest"] = sum(c.get("last_not_latest", False) for c in t.clouds_seen)
    if t.ring is not None:
        time["unordered_clouds"] = sum(c.get("unordered", False) for c in t.clouds_seen)
    if unit is None:
        return
    relative = time["relative"]
    firsts, lasts = [], []
    overlaps, overlap_max, overlap_first = 0, 0.0, None
    before = None  # (end) of the cloud before, when it has offsets and a stamp
    for c in t.clouds_seen:
        off = None
        if "times" in c and (relative or c["stamp"] != 0):
            first, last = c["times"][0] * unit[1], c["times"][1] * unit[1]
            if not relative:
                first -= seconds(c["stamp"])
                last -= seconds(c["stamp"])
            off = (first, last)
            firsts.append(first)
            lasts.append(last)
        chained = off is not None and c["stamp"] != 0
        if chained and before is not None:
            overlap = before - (seconds(c["stamp"]) + off[0])
            if overlap > 0.001:
                overlaps += 1
                overlap_max = max(overlap_max, overlap)
                if overlap_first is None:
                    overlap_first = c["index"]
        before = seconds(c["stamp"]) + off[1] if chained else None
    if not firsts:
        return
    f, l = median(firsts), median(lasts)
    time.update({"offsets": {"first_median": f, "last_median": l}, "stamp_at": stamp_at(f, l),
                 "overlaps": overlaps, "overlap_max": overlap_max if overlaps else None,
                 "overlap_first_index": overlap_first})


def sweep_json(t):
    sweeps = [c for c in t.clouds_seen if "sweep" in c]
    if not sweeps:
        return None, None
    cov = [c["sweep"][0] for c in sweeps]
    val = [c["sweep"][1] for c in sweeps]
    gap = max(c["sweep"][2] for c in sweeps)
    gap_index = next(c["index"] for c in sweeps if c["sweep"][2] == gap)
    mc, mv = median(cov), median(val)
    partial = [c for c in sweeps
               if (mc >= 300 and c["sweep"][0] <= mc - 2) or (mv >= 1000 and c["sweep"][1] < 0.9 * mv)]
    spread = lambda v: {"min": min(v), "median": median(v), "max": max(v)}
    return ({"coverage_deg": spread(cov), "valid_points": spread(val), "largest_gap_deg": gap,
             "largest_gap_index": gap_index, "partial_clouds": len(partial),
             "partial_indices": [c["index"] for c in partial[:20]]}, partial)


F32, U8, U16, U32 = 7, 2, 4, 6
# key, name, members (name, datatype, optional), stops, time (member, unit, needs start,
# works without it, judged when absent)
CONSUMERS = [
    ("lio-sam-velodyne", "LIO-SAM (velodyne, livox)",
     [("x", F32, 0), ("y", F32, 0), ("z", F32, 0), ("intensity", F32, 0), ("ring", U16, 0),
      ("time", F32, 0)], ["is_dense", "no-ring-field"], ("time", "s", True, False, True)),
    ("lio-sam-ouster", "LIO-SAM (ouster)",
     [("x", F32, 0), ("y", F32, 0), ("z", F32, 0), ("intensity", F32, 0), ("t", U32, 0),
      ("ring", U8, 0)], ["is_dense", "no-ring-field"], ("t", "ns", True, False, True)),
    ("fast-lio-velodyne", "FAST-LIO (velodyne)",
     [("x", F32, 0), ("y", F32, 0), ("z", F32, 0), ("intensity", F32, 0), ("time", F32, 1),
      ("ring", U16, 0)], [], ("time", "any", True, True, True)),
    ("fast-lio-ouster", "FAST-LIO (ouster)",
     [("x", F32, 0), ("y", F32, 0), ("z", F32, 0), ("intensity", F32, 0), ("t", U32, 0)], [],
     ("t", "any", True, False, True)),
    ("cartographer", "cartographer",
     [("x", F32, 0), ("y", F32, 0), ("z", F32, 0), ("intensity", F32, 1), ("time", F32, 1)],
     ["point-after-last"], ("time", "s", False, False, False)),
    ("autoware", "Autoware (PointXYZIRCAEDT)",
     [("x", F32, 0), ("y", F32, 0), ("z", F32, 0), ("intensity", U8, 0), ("return_type", U8, 0),
      ("channel", U16, 0), ("azimuth", F32, 0), ("elevation", F32, 0), ("distance", F32, 0),
      ("time_stamp", U32, 0)], ["layout"], ("time_stamp", "ns", True, False, True)),
    ("kiss-icp", "KISS-ICP", [("x", F32, 0), ("y", F32, 0), ("z", F32, 0)], ["time-datatype"],
     ("", "any", False, True, True)),
    ("lego-loam", "LeGO-LOAM",
     [("x", F32, 0), ("y", F32, 0), ("z", F32, 0), ("intensity", F32, 0), ("ring", U16, 0)],
     ["is_dense"], None),
    ("a-loam", "A-LOAM", [("x", F32, 0), ("y", F32, 0), ("z", F32, 0)], [], None),
]
AUTOWARE = [("x", F32, 0), ("y", F32, 4), ("z", F32, 8), ("intensity", U8, 12),
            ("return_type", U8, 13), ("channel", U16, 14), ("azimuth", F32, 16),
            ("elevation", F32, 20), ("distance", F32, 24), ("time_stamp", U32, 28)]


def consumers_json(t, topic):
    if t.kind in ("radar", "camera") or t.readable_fields is None:
        return None
    fields = t.readable_fields
    time = topic["time"]
    kiss = [f for f in fields if f[0] in ("t", "timestamp", "time")]
    kiss = kiss[-1] if kiss else None
    out = []
    for key, name, members, stops, times in CONSUMERS:
        missing, mistyped, time_ok, time_present = [], [], True, True
        for member, datatype, optional in members:
            named = [f for f in fields if f[0] == member]
            match = any(f[2] == datatype and f[3] in (0, 1) for f in named)
            if times is not None and member == times[0]:
                time_ok, time_present = match, bool(named)
            if not named and not optional:
                missing.append(member)
            elif named and not match:
                found = NAMES.get(named[0][2], str(named[0][2]))
                if named[0][3] not in (0, 1):
                    found += " (count %d)" % named[0][3]
                mistyped.append({"member": member, "expected": NAMES[datatype], "found": found})
        held = []
        for stop in stops:
            if stop == "is_dense":
                hold = t.dense_false > 0
            elif stop == "no-ring-field":
                hold = not any(f[0] == "ring" for f in fields)
            elif stop == "layout":
                hold = len(fields) != 10 or any(
                    (f[0], f[2], f[1], f[3]) != (a[0], a[1], a[2], 1) for f, a in zip(fields, AUTOWARE))
            elif stop == "time-datatype":
                hold = kiss is not None and kiss[2] not in (6, 7, 8)
            else:
                hold = (time is not None and time["field"] == "time"
                        and (time["last_not_latest"] or 0) > 0)
            if hold:
                held.append(stop)
        verdict = None
        if times is not None:
            member, unit, start, without, judged = times
            if member == "":
                time_ok = kiss is not None and kiss[2] in (6, 7, 8)
                member = kiss[0] if time_ok else ""
                time_present = True
            if time_present or judged:
                if not time_ok:
                    verdict = "no time"
                elif time is None or time["field"] != member or time["unit"] == "unknown":
                    verdict = None
                elif start and time["stamp_at"] is None:
                    verdict = None
                elif unit != "any" and time["unit"] != unit:
                    verdict = "unit"
                elif start and time["stamp_at"] != "start":
                    verdict = "stamp"
                else:
                    verdict = "fits"
        fine = verdict in (None, "fits") or (verdict == "no time" and times[3])
        out.append({"consumer": key, "name": name,
                    "works": not missing and not mistyped and not held and fine,
                    "missing": missing, "mistyped": mistyped, "stops": held, "time": verdict})
    return out


def context_kind(datatype):
    name = datatype.replace("/msg/", "/")
    if name in ("tf2_msgs/TFMessage", "tf/tfMessage"):
        return "tf"
    return "imu" if name == "sensor_msgs/Imu" else None


PACKET_TYPES = {"velodyne_msgs/VelodyneScan", "ouster_ros/PacketMsg",
                "ouster_sensor_msgs/PacketMsg", "rslidar_msgs/rslidarScan",
                "rslidar_msg/RslidarPacket", "nebula_msgs/NebulaPackets"}


def lidar_form(datatype):
    name = datatype.replace("/msg/", "/")
    if name in ("livox_ros_driver/CustomMsg", "livox_ros_driver2/CustomMsg"):
        return "livox-custom"
    if name == "point_cloud_interfaces/CompressedPointCloud2":
        return "compressed"
    if name in PACKET_TYPES:
        return "packets"
    if "/" not in name:
        return None
    package, short = name.split("/")[0], name.split("/")[-1]
    if package != "sensor_msgs" and "Packet" in short:
        return "packets"
    if (package.endswith("_msgs") and package not in ("sensor_msgs", "radar_msgs")
            and short.endswith("Scan") and "Radar" not in short and "Laser" not in short):
        return "packets"
    return None


def parse_tf(buf):
    """(parent, child) of each transform, or None when the bytes are no TFMessage."""
    try:
        (count,) = struct.unpack_from("<I", buf, 0)
        at, pairs = 4, []
        for _ in range(count):
            at += 12
            (n,) = struct.unpack_from("<I", buf, at)
            parent = bytes(buf[at + 4:at + 4 + n]).decode("utf-8", "replace")
            at += 4 + n
            (n,) = struct.unpack_from("<I", buf, at)
            child = bytes(buf[at + 4:at + 4 + n]).decode("utf-8", "replace")
            at += 4 + n + 56
            if at > len(buf):
                return None
            pairs.append((parent, child))
        return pairs
    except struct.error:
        return None


def stamp_facts(stamps, latencies):
    set_stamps = [(s, l) for s, l in zip(stamps, latencies) if s != 0]
    deltas = [b[0] - a[0] for a, b in zip(set_stamps, set_stamps[1:])]
    period = median([d for d in deltas if d > 0])
    return {"period": None if period is None else period / 1e9,
            "first": set_stamps[0][0] if set_stamps else None,
            "last": set_stamps[-1][0] if set_stamps else None,
            "latency": None if not set_stamps else median([l for _s, l in set_stamps]) / 1e9,
            "deltas": deltas, "period_ns": period}


def seconds_of(ns):
    return float(ns // 10**9) + 1e-9 * float(ns % 10**9)


def imu_json(name, imu):
    f = stamp_facts(imu["stamps"], imu["latencies"])
    acc = median(imu["acc"])
    unit = None
    if acc is not None:
        unit = "m/s2" if 8 <= acc <= 11.5 else "g" if 0.8 <= acc <= 1.2 else "unknown"
    any_ = bool(imu["stamps"])
    return {"topic": name, "type": imu["type"], "messages": imu["messages"],
            "stamps": {"first": seconds_of(imu["stamps"][0]) if any_ else None,
                       "last": seconds_of(imu["stamps"][-1]) if any_ else None,
                       "period_median": f["period"],
                       "rate_hz": None if f["period"] is None else 1.0 / f["period"],
                       "gaps": sum(f["period_ns"] is not None and d > 1.5 * f["period_ns"]
                                   for d in f["deltas"]),
                       "backward": sum(d < 0 for d in f["deltas"]),
                       "zero": sum(s == 0 for s in imu["stamps"])},
            "latency_median": f["latency"], "acceleration_median": acc,
            "acceleration_unit": unit}


def add_surroundings(t, js, topics, context):
    """frames and imu, before the problems, and their problem codes."""
    problems = js.pop("problems")
    strip = lambda f: f[1:] if f.startswith("/") else f
    first = strip(next(iter(t.frame_ids)))
    transforms = sorted(context["transforms"])
    in_tf = any(first in (p, c) for p, c, _s in transforms)
    chain = None
    if in_tf:
        chain, at = [first], first
        while True:
            parent = next((p for p, c, _s in transforms if c == at), None)
            if parent is None or parent in chain:
                break
            chain.append(parent)
            at = parent
    shared = sorted(o.topic for o in topics.values()
                    if o is not t and set(o.frame_ids) & set(t.frame_ids))
    js["frames"] = {"empty": t.frame_ids.get("", 0),
                    "leading_slash": sum(n for f, n in t.frame_ids.items() if f.startswith("/")),
                    "shared_with": shared, "in_tf": in_tf, "tf_chain": chain}
    cf = stamp_facts(t.stamps, t.latencies)
    tm = js["time"]
    last = tm["offsets"]["last_median"] if tm is not None and tm["offsets"] is not None else None
    imus = []
    for name, imu in sorted(context["imus"].items()):
        f = stamp_facts(imu["stamps"], imu["latencies"])
        offset = covers = None
        if cf["latency"] is not None and f["latency"] is not None:
            offset = (cf["latency"] - (last or 0)) - f["latency"]
        if cf["first"] is not None and f["first"] is not None:
            slack = f["period"] or 0
            covers = (seconds_of(f["first"]) - slack <= seconds_of(cf["first"]) and
                      seconds_of(f["last"]) + slack >= seconds_of(cf["last"]) + (last or 0))
        imus.append({"topic": name, "clock_offset": offset, "covers": covers})
    js["imu"] = imus
    codes = [p["code"] for p in problems]
    period = js["stamps"]["period_median"] or 0
    limit = max(period, 0.1) if last is not None else max(2 * period, 0.2)
    extra = [("frame-empty", js["frames"]["empty"] > 0),
             ("frame-slash", js["frames"]["leading_slash"] > 0),
             ("no-transform", bool(transforms) and not in_tf),
             ("imu-clock", any(i["clock_offset"] is not None and
                               abs(i["clock_offset"]) > limit for i in imus)),
             ("imu-short", any(i["covers"] is False for i in imus))]
    codes += [code for code, found in extra if found]
    js["problems"] = [{"code": code} for code in codes]


def seq_lost(seqs):
    steps = [b - a for a, b in zip(seqs, seqs[1:])]
    if not steps or 10 * sum(s == 1 for s in steps) < 9 * len(steps):
        return None
    return sum(s - 1 for s in steps if s > 1)


def topic_json(t):
    stamped = [i for i, s in enumerate(t.stamps) if s != 0]
    deltas = [t.stamps[b] - t.stamps[a] for a, b in zip(stamped, stamped[1:])]
    period_ns = median([d for d in deltas if d > 0])
    gaps = [t.indices[stamped[i + 1]] for i, d in enumerate(deltas)
            if period_ns is not None and d > 1.5 * period_ns]
    latencies = [t.latencies[i] for i in stamped]
    period = None if period_ns is None else period_ns / 1e9
    positive = [d for d in deltas if d > 0]
    jitter = None if period_ns is None else median([abs(d - period_ns) for d in positive]) / 1e9
    short = 0 if period_ns is None else sum(d < 0.5 * period_ns for d in positive)
    seconds = lambda ns: float(ns // 10**9) + 1e-9 * float(ns % 10**9)
    ring = None
    if t.ring is not None:
        low = min(t.ring_seen) if t.ring_seen else None
        high = max(t.ring_seen) if t.ring_seen else None
        missing = missing_count = None
        if t.ring_integer and low is not None and high - low <= 4096:
            gone = [r for r in range(low, high + 1) if r not in t.ring_seen]
            missing, missing_count = gone[:64], len(gone)
        ring = {"field": t.ring[0], "datatype": NAMES[t.ring[1]], "min": low, "max": high,
                "distinct": len(t.ring_seen), "distinct_exact": True, "missing": missing,
                "missing_count": missing_count}
    time = None
    if t.time is not None:
        span = median(t.spans)
        unit = None
        if span and period:
            unit = next((u for u in UNITS if u[2] <= span / period <= u[3]), None)
        relative = None
        if unit is not None:
            relative = max(abs(t.time[2]), abs(t.time[3])) * unit[1] < 1000
        time = {"field": t.time[0], "datatype": NAMES[t.time[1]], "min": t.time[2],
                "max": t.time[3], "span_median": span, "zero_clouds": t.time_zero,
                "unit": unit[0] if unit else "unknown", "relative": relative}
        time_content(t, time, unit, seconds)
    intensity = None
    if t.intensity is not None:
        intensity = {"field": t.intensity[0], "datatype": NAMES[t.intensity[1]],
                     "min": t.intensity[2], "max": t.intensity[3]}
    json_topic = {
        "topic": t.topic, "kind": sensor_kind(t.fields), "types": t.types, "clouds": t.clouds, "first_index": t.first_index,
        "last_index": t.indices[-1], "malformed": t.malformed, "frame_ids": t.frame_ids,
        "points": {"total": t.total, "min": t.pmin, "max": t.pmax, "empty_clouds": t.empty},
        "organized_clouds": t.organized, "bigendian_clouds": t.bigendian,
        "layouts": len(t.layouts),
        "fields": [{"name": f[0], "offset": f[1], "datatype": NAMES.get(f[2], str(f[2])),
                    "count": f[3]} for f in t.fields],
        "unmatched": t.unmatched,
        "stamps": {"first": seconds(t.stamps[0]), "last": seconds(t.stamps[-1]),
                   "period_median": period, "rate_hz": None if period is None else 1.0 / period,
                   "gaps": len(gaps), "backward": sum(d < 0 for d in deltas),
                   "repeated": sum(d == 0 for d in deltas),
                   "zero": len(t.stamps) - len(stamped), "gap_indices": gaps[:20],
                   "jitter": jitter, "short": short, "seq_lost": seq_lost(t.seqs)},
        "latency": {"min": min(latencies) / 1e9 if latencies else None,
                    "median": median(latencies) / 1e9 if latencies else None,
                    "max": max(latencies) / 1e9 if latencies else None},
        "invalid": {"nonfinite_points": t.nonfinite, "zero_points": t.zero,
                    "dense_flag_wrong": t.dense_wrong, "dense_flag_false": t.dense_false},
        "range": {"min": None if t.r2min is None else math.sqrt(t.r2min),
                  "max": None if t.r2max is None else math.sqrt(t.r2max)},
        "ring": ring, "time": time, "intensity": intensity,
    }
    lidar_like = json_topic["kind"] not in ("radar", "camera")
    json_topic["sweep"], partial = sweep_json(t) if lidar_like else (None, None)
    json_topic["repeated_clouds"] = t.repeated if lidar_like else None
    json_topic["consumers"] = consumers_json(t, json_topic)
    json_topic["problems"] = [{"code": code} for code in problem_codes(json_topic)]
    return json_topic


def problem_codes(t):
    s, r, tm, inv = t["stamps"], t["ring"], t["time"], t["invalid"]
    lidar_like = t["kind"] not in ("radar", "camera")
    sw = t["sweep"]
    period = s["period_median"]
    checks = [
        ("malformed", t["malformed"] > 0),
        ("empty-clouds", t["points"]["empty_clouds"] > 0),
        ("repeated-clouds", bool(t["repeated_clouds"])),
        ("stamp-gaps", s["gaps"] > 0),
        ("stamp-backward", s["backward"] > 0),
        ("stamp-repeated", s["repeated"] > 0),
        ("stamp-zero", s["zero"] > 0),
        ("stamp-jitter", s["jitter"] is not None and (s["jitter"] > 0.05 * period or s["short"] > 0)),
        ("messages-lost", bool(s["seq_lost"])),
        ("clock-offset", t["latency"]["median"] is not None and abs(t["latency"]["median"]) > 1),
        ("nonfinite-points", inv["nonfinite_points"] > 0),
        ("dense-flag-wrong", inv["dense_flag_wrong"] > 0),
        ("not-dense", inv["dense_flag_false"] > 0),
        ("zero-points", inv["zero_points"] > 0),
        ("unmatched", bool(t["unmatched"])),
        ("no-ring", r is None and lidar_like),
        ("missing-rings", r is not None and bool(r["missing_count"])),
        ("partial-sweeps", sw is not None and sw["partial_clouds"] > 0),
        ("no-time", tm is None and lidar_like),
        ("time-zero", tm is not None and tm["zero_clouds"] > 0),
        ("time-constant", tm is not None and bool(tm["constant_clouds"])),
        ("sweeps-overlap", tm is not None and bool(tm["overlaps"])),
        ("time-unordered", tm is not None and bool(tm["unordered_clouds"])),
        ("time-unit", tm is not None and s["period_median"] is not None and tm["unit"] != "s"),
        ("time-absolute", tm is not None and tm["relative"] is False),
        ("stamp-outside-sweep", tm is not None and tm["stamp_at"] in ("before", "after")),
        ("layout-changes", t["layouts"] > 1),
        ("bigendian", t["bigendian_clouds"] > 0),
    ]
    return [code for code, found in checks if found]


def summary(path):
    bag = rosbag.Bag(path)
    topics, count = {}, 0
    tf_topics, transforms, undecodable, imus = {}, {}, 0, {}
    for connection in bag._connections.values():
        kind = context_kind(connection.datatype)
        if kind == "tf":
            tf_topics.setdefault(connection.topic, 0)
        elif kind == "imu":
            imus.setdefault(connection.topic, {"type": connection.datatype, "messages": 0,
                                               "stamps": [], "latencies": [], "acc": []})
    for topic, raw, t, _header in bag.read_messages(raw=True, return_connection_header=True):
        datatype, buf, md5 = raw[0], raw[1], raw[2]
        record_ns = t.secs * 10**9 + t.nsecs
        kind = context_kind(datatype)
        if kind == "tf":
            tf_topics[topic] = tf_topics.get(topic, 0) + 1
            pairs = parse_tf(buf)
            if pairs is None:
                undecodable += 1
                continue
            static = topic.split("/")[-1] == "tf_static"
            strip = lambda f: f[1:] if f.startswith("/") else f
            for key in {(strip(parent), strip(child), static) for parent, child in pairs}:
                transforms[key] = transforms.get(key, 0) + 1
            continue
        if kind == "imu":
            imu = imus[topic]
            imu["messages"] += 1
            sec, nsec = struct.unpack_from("<II", buf, 4)
            (n,) = struct.unpack_from("<I", buf, 12)
            acc = struct.unpack_from("<3d", buf, 16 + n + 8 * 25)
            imu["stamps"].append(sec * 10**9 + nsec)
            imu["latencies"].append(record_ns - (sec * 10**9 + nsec))
            imu["acc"].append(math.sqrt(acc[0] ** 2 + acc[1] ** 2 + acc[2] ** 2))
            continue
        if md5 != CLOUD_MD5:
            continue
        c = parse_cloud(buf)
        fields, height, width, point_step, row_step = (c.fields, c.height, c.width, c.point_step,
                                                       c.row_step)
        stamp_ns, data = c.stamp_ns, c.data
        frame_id, is_bigendian, is_dense = c.frame_id, c.is_bigendian, c.is_dense
        if topic not in topics:
            unmatched = [name for name, dt, _o, _s in RECORD
                         if not any(f[0] == name and f[2] == dt and f[3] in (0, 1)
                                    for f in fields)]
            topics[topic] = Topic(topic, count, fields, unmatched)
        tp = topics[topic]
        tp.clouds += 1
        if datatype not in tp.types:
            tp.types.append(datatype)
        tp.frame_ids[frame_id] = tp.frame_ids.get(frame_id, 0) + 1
        tp.organized += height > 1
        tp.bigendian += is_bigendian != 0
        tp.dense_false += is_dense == 0
        tp.layouts.add((point_step, is_bigendian, tuple(fields)))
        tp.stamps.append(stamp_ns)
        tp.seqs.append(struct.unpack_from("<I", buf, 0)[0])
        tp.indices.append(count)
        tp.latencies.append(t.secs * 10**9 + t.nsecs - stamp_ns)
        if malformed(fields, height, width, point_step, row_step, len(data)):
            tp.malformed += 1
        else:
            lidar_like = sensor_kind(tp.fields) not in ("radar", "camera")
            if tp.readable_fields is None:
                tp.readable_fields = fields
            cloud = {"index": count, "stamp": stamp_ns}
            tally_points(tp, fields, height, width, point_step, row_step, data, is_dense,
                         lidar_like, cloud)
            if lidar_like:
                tp.clouds_seen.append(cloud)
                shape = (width, height, point_step, row_step, tuple(fields), bytes(data))
                if tp.previous is not None and len(data) and shape == tp.previous:
                    tp.repeated += 1
                    if tp.repeated == 1:
                        tp.repeated_first = count
                tp.previous = shape
        count += 1
    others, silent = {}, {}
    for connection in bag._connections.values():
        if connection.md5sum == CLOUD_MD5:
            if not bag._connection_indexes.get(connection.id):
                silent[(connection.topic, connection.datatype)] = True
            continue
        key = (connection.topic, connection.datatype)
        others[key] = others.get(key, 0) + len(bag._connection_indexes.get(connection.id, []))
    bag.close()
    context = {"tf_topics": tf_topics, "transforms": transforms, "undecodable": undecodable,
               "imus": imus}
    topic_list = [topic_json(t) for t in topics.values()]
    for t, js in zip(topics.values(), topic_list):
        add_surroundings(t, js, topics, context)
    return {"bag": path, "bags": [path], "complete": True, "topics_requested": False,
            "walk_clouds": count, "clouds": count,
            "topics": topic_list,
            "other_topics": [{"topic": k[0], "type": k[1], "messages": n}
                             for k, n in sorted(others.items())],
            "silent_cloud_topics": [{"topic": k[0], "type": k[1], "offered_qos": None}
                                    for k in sorted(silent)],
            "lidar_not_clouds": [{"topic": k[0], "type": k[1], "form": lidar_form(k[1]),
                                  "messages": n} for k, n in sorted(others.items())
                                 if lidar_form(k[1])],
            "tf": {"topics": [{"topic": k, "messages": n} for k, n in sorted(tf_topics.items())],
                   "transforms": [{"parent": k[0], "child": k[1], "static": k[2],
                                   "messages": n} for k, n in sorted(transforms.items())],
                   "undecodable": undecodable},
            "imu_topics": [imu_json(name, imu) for name, imu in sorted(imus.items())]}


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: peer_summary.py BAG")
    json.dump(summary(sys.argv[1]), sys.stdout, indent=2)
    sys.stdout.write("\n")
