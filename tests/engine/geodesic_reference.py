#!/usr/bin/python3
"""Reference values for the subfault geometry tests in test_geom.cpp.

Places the subfault centres of a few fault planes with the engine's 32-bit
operations, in the engine's order (every sum and product rounded to 32 bits,
the sine and cosine taken from the C maths library's sinf and cosf, so the
centres come out bit for bit alike), then solves the inverse geodesic problem
from each centre to the station with the Python geographiclib package on WGS84
and prints the C++ tables embedded in test_geom.cpp.

Run with Debian's interpreter: /usr/bin/python3 tests/engine/geodesic_reference.py
(add --dump to list every ray of the large segment, whose rays the test checks
through one hash; add --write PATH to store them as the test reads them, the
five fields of each ray as little-endian 32-bit floats, ray after ray, as in
tests/engine/data/large_segment_rays.f32).
"""

import ctypes
import math
import struct
import sys

from geographiclib.geodesic import Geodesic

LIBM = ctypes.CDLL("libm.so.6")
for name in ("sinf", "cosf"):
    getattr(LIBM, name).restype = ctypes.c_float
    getattr(LIBM, name).argtypes = [ctypes.c_float]
LIBM.atan2f.restype = ctypes.c_float
LIBM.atan2f.argtypes = [ctypes.c_float, ctypes.c_float]

WGS84 = Geodesic.WGS84
PI_F = None  # filled below: pi rounded to 32 bits
DEG_TO_RAD_F = None  # pi/180 rounded to 32 bits


def f32(x):
    """Rounds a 64-bit value to the nearest 32-bit float. One rounding of the
    exact double result of a + - * / or sqrt of 32-bit operands gives the
    correctly rounded 32-bit result (53 >= 2 * 24 + 2 bits)."""
    return struct.unpack("f", struct.pack("f", x))[0]


PI_F = f32(3.1415927)
DEG_TO_RAD_F = f32(0.017453292)


def distance_azimuth(lat1, lon1, lat2, lon2):
    """(deltkm, azesdg) as the engine stores them."""
    r = WGS84.Inverse(lat1, lon1, lat2, lon2)
    az = r["azi1"]
    shifted = f32(az + 360.0 if az < 0.0 else az)
    azesdg = 0.0 if shifted >= 360.0 else shifted
    return f32(r["s12"] / 1000.0), azesdg


def radians(deg):
    return f32(f32(deg * PI_F) / f32(180.0))


def centres(plane):
    """[(i, j, lat, lon, depth)] in grid order, all 32-bit values."""
    lat0, lon0 = f32(plane["lat"]), f32(plane["lon"])
    n1, n2 = plane["n1"], plane["n2"]
    length, width = f32(plane["L"]), f32(plane["W"])
    top = f32(plane["top"])
    offset = f32(f32(f32(n1) * f32(0.5)) * length)
    east_km, east_az = distance_azimuth(lat0, 0.0, lat0, 1.0)
    north_km, north_az = distance_azimuth(lat0, 0.0, f32(lat0 + 1.0), 0.0)
    ddx = f32(LIBM.sinf(radians(east_az)) * east_km)
    ddy = f32(LIBM.cosf(radians(north_az)) * north_km)
    strike, dip = radians(f32(plane["strike"])), radians(f32(plane["dip"]))
    s_dip, c_dip = LIBM.sinf(dip), LIBM.cosf(dip)
    s_str, c_str = LIBM.sinf(strike), LIBM.cosf(strike)
    half_w = f32(0.5 * width)
    out = []
    for j in range(n2):
        dd = f32(f32(j * width) + half_w)
        zm1 = f32(f32(s_dip * dd) + top)
        h = f32(dd * c_dip)
        hc, hs = f32(h * c_str), f32(h * s_str)
        for i in range(1, n1 + 1):
            x = f32(f32(f32(i - 0.5) * length) - offset)
            east = f32(f32(x * s_str) + hc)
            north = f32(f32(x * c_str) - hs)
            lat = f32(f32(north / ddy) + lat0)
            lon = f32(lon0 + f32(east / ddx))
            out.append((i, j + 1, lat, lon, zm1))
    return out


def f_lit(x):
    """A C++ float literal that reads back as the same 32-bit value."""
    return repr(float(f32(x))) + "f"


def ray_table(plane, station):
    lat_s, lon_s = f32(station[0]), f32(station[1])
    print("// station (%s, %s)" % (f_lit(lat_s), f_lit(lon_s)))
    print("// {i, j, depth_km, horiz_km, azimuth_rad, slant_km, takeoff_rad}")
    for i, j, lat, lon, z in centres(plane):
        r = WGS84.Inverse(lat, lon, lat_s, lon_s)
        horiz = r["s12"] / 1000.0
        az = math.radians(r["azi1"] % 360.0)
        slant = math.hypot(horiz, z)
        takeoff = math.pi - math.atan2(horiz, z)
        print("    {%d, %d, %s, %.12f, %.12f, %.12f, %.12f}," % (i, j, f_lit(z), horiz, az, slant,
                                                              takeoff))


def exact_table(plane, station):
    """The rays as the engine stores them, each 32-bit value bit for bit."""
    print("// {slant_km, azimuth_rad, takeoff_rad, horiz_km, depth_km}, grid order")
    for ray in exact_rays(plane, station):
        print("    {%s}," % ", ".join(f_lit(v) for v in ray))


def exact_rays(plane, station):
    lat_s, lon_s = f32(station[0]), f32(station[1])
    for i, j, lat, lon, z in centres(plane):
        dis, azesdg = distance_azimuth(lat, lon, lat_s, lon_s)
        slant = f32(math.sqrt(f32(f32(dis * dis) + f32(z * z))))
        azes = f32(azesdg * DEG_TO_RAD_F)
        takeoff = f32(PI_F - LIBM.atan2f(dis, z))
        yield (slant, azes, takeoff, dis, z)


def fnv1a(rays):
    """64-bit FNV-1a over the 32-bit patterns of every ray field, in order."""
    h = 0xCBF29CE484222325
    for ray in rays:
        for v in ray:
            for byte in struct.pack("<f", v):
                h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def centre_table(plane):
    print("// {i, j, lat_deg, lon_deg, depth_km}")
    for i, j, lat, lon, z in centres(plane):
        print("    {%d, %d, %s, %s, %s}," % (i, j, f_lit(lat), f_lit(lon), f_lit(z)))


# A realistic dipping segment and a station about 40 km from it.
DIPPING = dict(lat=34.05, lon=-118.25, n1=4, n2=3, L=3.1, W=2.3, strike=35.7, dip=61.3, top=1.7)
STATION = (34.30, -117.95)
# A large gently dipping grid, south-west striking, in the southern and western
# hemispheres: many centres, so a changed operation order almost surely moves
# one of them across a rounding boundary.
LARGE = dict(lat=-33.45, lon=-70.66, n1=16, n2=8, L=1.37, W=1.13, strike=247.3, dip=23.8, top=0.9)
LARGE_STATION = (-33.61, -70.43)
# A flat segment striking north: centres x km north and dd km east of the origin.
FLAT_NORTH = dict(lat=-12.5, lon=170.25, n1=3, n2=2, L=2.1, W=1.7, strike=0.0, dip=0.0, top=3.0)

if __name__ == "__main__":
    print("// dipping segment:", DIPPING)
    ray_table(DIPPING, STATION)
    print("// dipping segment, 32-bit rays")
    exact_table(DIPPING, STATION)
    print("// dipping segment centres")
    centre_table(DIPPING)
    print("// large segment:", LARGE, "station", LARGE_STATION)
    print("// FNV-1a of its rays: 0x%016x" % fnv1a(exact_rays(LARGE, LARGE_STATION)))
    if "--dump" in sys.argv:
        exact_table(LARGE, LARGE_STATION)
    if "--write" in sys.argv:
        with open(sys.argv[sys.argv.index("--write") + 1], "wb") as out:
            for ray in exact_rays(LARGE, LARGE_STATION):
                out.write(struct.pack("<5f", *ray))
    print("// flat segment:", FLAT_NORTH)
    centre_table(FLAT_NORTH)
