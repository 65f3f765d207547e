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
        self.types, self.frame_ids = [], {}
        self.clouds = self.malformed = self.organized = self.bigendian = 0
        self.layouts = set()
        self.total = self.empty = 0
        self.pmin = self.pmax = None
        self.stamps, self.indices, self.latencies = [], [], []
        self.nonfinite = self.zero = self.dense_wrong = self.dense_false = 0
        self.r2min = self.r2max = None
        self.ring = self.time = self.intensity = None  # [name, datatype, min, max, ...]
        self.ring_seen, self.ring_integer = set(), True
        self.spans, self.time_zero = [], 0


def lower(a, b):
    return b if a is None else min(a, b)


def higher(a, b):
    return b if a is None else max(a, b)


def tally_points(t, fields, height, width, point_step, row_step, data, is_dense):
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
            v = v[np.isfinite(v)]
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


def topic_json(t):
    stamped = [i for i, s in enumerate(t.stamps) if s != 0]
    deltas = [t.stamps[b] - t.stamps[a] for a, b in zip(stamped, stamped[1:])]
    period_ns = median([d for d in deltas if d > 0])
    gaps = [t.indices[stamped[i + 1]] for i, d in enumerate(deltas)
            if period_ns is not None and d > 1.5 * period_ns]
    latencies = [t.latencies[i] for i in stamped]
    period = None if period_ns is None else period_ns / 1e9
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
                   "zero": len(t.stamps) - len(stamped), "gap_indices": gaps[:20]},
        "latency": {"min": min(latencies) / 1e9 if latencies else None,
                    "median": median(latencies) / 1e9 if latencies else None,
                    "max": max(latencies) / 1e9 if latencies else None},
        "invalid": {"nonfinite_points": t.nonfinite, "zero_points": t.zero,
                    "dense_flag_wrong": t.dense_wrong, "dense_flag_false": t.dense_false},
        "range": {"min": None if t.r2min is None else math.sqrt(t.r2min),
                  "max": None if t.r2max is None else math.sqrt(t.r2max)},
        "ring": ring, "time": time, "intensity": intensity,
    }
    json_topic["problems"] = [{"code": code} for code in problem_codes(json_topic)]
    return json_topic


def problem_codes(t):
    s, r, tm, inv = t["stamps"], t["ring"], t["time"], t["invalid"]
    lidar_like = t["kind"] not in ("radar", "camera")
    checks = [
        ("malformed", t["malformed"] > 0),
        ("empty-clouds", t["points"]["empty_clouds"] > 0),
        ("stamp-gaps", s["gaps"] > 0),
        ("stamp-backward", s["backward"] > 0),
        ("stamp-repeated", s["repeated"] > 0),
        ("stamp-zero", s["zero"] > 0),
        ("clock-offset", t["latency"]["median"] is not None and abs(t["latency"]["median"]) > 1),
        ("nonfinite-points", inv["nonfinite_points"] > 0),
        ("dense-flag-wrong", inv["dense_flag_wrong"] > 0),
        ("not-dense", inv["dense_flag_false"] > 0),
        ("zero-points", inv["zero_points"] > 0),
        ("unmatched", bool(t["unmatched"])),
        ("no-ring", r is None and lidar_like),
        ("missing-rings", r is not None and bool(r["missing_count"])),
        ("no-time", tm is None and lidar_like),
        ("time-zero", tm is not None and tm["zero_clouds"] > 0),
        ("time-unit", tm is not None and s["period_median"] is not None and tm["unit"] != "s"),
        ("time-absolute", tm is not None and tm["relative"] is False),
        ("layout-changes", t["layouts"] > 1),
        ("bigendian", t["bigendian_clouds"] > 0),
    ]
    return [code for code, found in checks if found]


def summary(path):
    bag = rosbag.Bag(path)
    topics, count = {}, 0
    for topic, raw, t, _header in bag.read_messages(raw=True, return_connection_header=True):
        datatype, buf, md5 = raw[0], raw[1], raw[2]
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
        tp.indices.append(count)
        tp.latencies.append(t.secs * 10**9 + t.nsecs - stamp_ns)
        if malformed(fields, height, width, point_step, row_step, len(data)):
            tp.malformed += 1
        else:
            tally_points(tp, fields, height, width, point_step, row_step, data, is_dense)
        count += 1
    others, silent = {}, {}
    for connection in bag._connections.values():
        if connection.md5sum == CLOUD_MD5:
            if not bag._connection_indexes.get(connection.id):
                silent[(connection.topic, connection.datatype)] = True
            continue
        key = (connection.topic, connection.datatype)
        others[key] = others.get(key, 0) + len(bag._connection_indexes[connection.id])
    bag.close()
    return {"bag": path, "bags": [path], "complete": True, "topics_requested": False,
            "walk_clouds": count, "clouds": count,
            "topics": [topic_json(t) for t in topics.values()],
            "other_topics": [{"topic": k[0], "type": k[1], "messages": n}
                             for k, n in sorted(others.items())],
            "silent_cloud_topics": [{"topic": k[0], "type": k[1], "offered_qos": None}
                                    for k in sorted(silent)]}


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: peer_summary.py BAG")
    json.dump(summary(sys.argv[1]), sys.stdout, indent=2)
    sys.stdout.write("\n")
