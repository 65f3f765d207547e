#!/usr/bin/python3
"""The report a careful user would write in Python: python3-rosbag reads the
bag, numpy does the single-precision angle, and the PointCloud2 bytes are
decoded by hand following PCL's copy rules, only for the printed points.

Used as the benchmark's peer and, in the tests, as an independent check of the
tool's output.

    peer_report.py BAG > report.txt
"""
import collections
import ctypes
import ctypes.util
import math
import struct
import sys

import numpy as np
import rosbag

CLOUD_MD5 = "1158d486dd51d683ce2f1be655c3c181"
FLOAT32, UINT16 = 7, 4
# (name, datatype, offset in the record, size): the record PCL fills.
RECORD = [("x", FLOAT32, 0, 4), ("y", FLOAT32, 4, 4), ("z", FLOAT32, 8, 4),
          ("intensity", FLOAT32, 16, 4), ("ring", UINT16, 20, 2), ("time", FLOAT32, 24, 4)]
BAND = 10

# The C library's atan2f, so that even the sign of a NaN angle is the C one.
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.atan2f.argtypes = [ctypes.c_float, ctypes.c_float]
_libm.atan2f.restype = ctypes.c_float


def read_string(buf, at):
    (n,) = struct.unpack_from("<I", buf, at)
    return buf[at + 4:at + 4 + n].decode("utf-8", "replace"), at + 4 + n


Cloud = collections.namedtuple("Cloud", "stamp stamp_ns frame_id height width fields is_bigendian "
                                        "point_step row_step data is_dense")


def parse_cloud(buf):
    """The PointCloud2 of a serialized message; its data a view into buf."""
    _seq, sec, nsec = struct.unpack_from("<III", buf, 0)
    frame_id, at = read_string(buf, 12)
    height, width, nfields = struct.unpack_from("<III", buf, at)
    at += 12
    fields = []
    for _ in range(nfields):
        name, at = read_string(buf, at)
        offset, datatype, count = struct.unpack_from("<IBI", buf, at)
        at += 9
        fields.append((name, offset, datatype, count))
    is_bigendian, point_step, row_step, ndata = struct.unpack_from("<BIII", buf, at)
    at += 13
    data = memoryview(buf)[at:at + ndata]
    (is_dense,) = struct.unpack_from("<B", buf, at + ndata)
    stamp = float(sec) + 1e-9 * float(nsec)  # as ros::Time::toSec computes it
    return Cloud(stamp, sec * 10**9 + nsec, frame_id, height, width, fields, is_bigendian,
                 point_step, row_step, data, is_dense)


def copy_plan(fields):
    """PCL's mapping: first field of the right name, type and count per record
    member; sorted by message offset; neighbours at the same spacing in the
    message as in the record merged into one copy."""
    plan = []
    for name, datatype, record_offset, size in RECORD:
        for fname, offset, ftype, count in fields:
            if fname == name and ftype == datatype and count in (0, 1):
                plan.append([offset, record_offset, size])
                break
        else:
            sys.stdout.flush()
            sys.stderr.write("Failed to find match for field '%s'.\n" % name)
    plan.sort(key=lambda copy: copy[0])
    merged = []
    for copy in plan:
        if merged and copy[0] - merged[-1][0] == copy[1] - merged[-1][1]:
            current = merged[-1]
            current[2] += (copy[1] + copy[2]) - (current[1] + current[2])
        else:
            merged.append(copy)
    return merged


def c_float(value, width, decimals):
    """printf("%W.Df") for any double, including a negative NaN."""
    if math.isnan(value):
        text = "-nan" if math.copysign(1.0, value) < 0 else "nan"
        return text.rjust(width)
    return "%*.*f" % (width, decimals, value)


def point_line(index, record):
    x, y, z = struct.unpack_from("<fff", record, 0)
    (intensity,) = struct.unpack_from("<f", record, 16)
    (ring,) = struct.unpack_from("<H", record, 20)
    (time,) = struct.unpack_from("<f", record, 24)
    with np.errstate(all="ignore"):
        radians = np.float32(_libm.atan2f(x, y))
        angle = float(radians * np.float32(180.0)) / 3.141592653
    return "%6d %s %s %s %s %s %6d %s\n" % (
        index, c_float(x, 10, 3), c_float(y, 10, 3), c_float(z, 10, 3),
        c_float(intensity, 10, 3), c_float(time, 20, 10), ring, c_float(angle, 10, 3))


def report(path, out):
    bag = rosbag.Bag(path)
    count = 0
    for topic, raw, _t, header in bag.read_messages(raw=True, return_connection_header=True):
        datatype, buf, md5 = raw[0], raw[1], raw[2]
        if md5 != CLOUD_MD5:
            continue
        cloud = parse_cloud(buf)
        stamp, fields, height, width = cloud.stamp, cloud.fields, cloud.height, cloud.width
        point_step, row_step, data = cloud.point_step, cloud.row_step, cloud.data
        plan = copy_plan(fields)
        out.write("%20d  %25.10f  %-20s  %-20s\n" % (count, stamp, topic, datatype))
        n = (width * height) & 0xFFFFFFFF
        indices = range(n) if n <= 2 * BAND else list(range(BAND)) + list(range(n - BAND, n))
        for i in indices:
            base = (i // width) * row_step + (i % width) * point_step
            record = bytearray(32)
            for offset, record_offset, size in plan:
                record[record_offset:record_offset + size] = data[base + offset:base + offset + size]
            out.write(point_line(i, record))
        out.flush()
        count += 1
    bag.close()


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: peer_report.py BAG")
    report(sys.argv[1], sys.stdout)
