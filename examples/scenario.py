"""A realistic default scenario: one earthquake, a layered crust, a few dozen stations.

The earthquake is a shallow reverse-faulting event of about magnitude 6.5 on two
adjoining segments diced into 2 km subfaults; the crust is a six-layer model cut at
the Moho. Stations sit from 2 to 100 km from the rupture at spread azimuths.

Everything here is plain NumPy; `build_simulator` turns it into an `_orvinta.Simulator`.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

import _orvinta as orv

# Subfault size shared by every segment (km): the simulator refuses segments diced
# differently.
SUBFAULT_KM = 2.0
# Rupture front speed used to lay out rupture times from the hypocentre (km/s).
RUPTURE_SPEED_KM_S = 2.8
# Mean radius of the Earth, only for laying out station positions (km).
EARTH_RADIUS_KM = 6371.0


@dataclass(frozen=True)
class SegmentGeometry:
    """One planar segment: its top-edge centre, orientation and grid size."""

    lon_deg: float
    lat_deg: float
    strike_deg: float
    dip_deg: float
    rake_deg: float
    top_depth_km: float
    along_strike: int  # subfault columns
    down_dip: int  # subfault rows


# Two segments sharing one strike line: a 32 km main segment and a 16 km
# continuation to the north-north-east, both dipping 45 degrees east.
SEGMENTS = (
    SegmentGeometry(-118.50, 34.20, 20.0, 45.0, 90.0, 1.0, 16, 8),
    SegmentGeometry(-118.35, 34.44, 20.0, 45.0, 90.0, 1.0, 8, 8),
)
# The hypocentre lies on segment 0, this far along strike and down dip (km).
HYPOCENTRE_ALONG_KM = 12.0
HYPOCENTRE_DOWN_DIP_KM = 11.0


def offset_point(lon_deg: float, lat_deg: float, east_km: float, north_km: float):
    """The point `east_km`, `north_km` from (`lon_deg`, `lat_deg`) on a sphere (degrees)."""
    lat = lat_deg + math.degrees(north_km / EARTH_RADIUS_KM)
    lon = lon_deg + math.degrees(east_km / (EARTH_RADIUS_KM * math.cos(math.radians(lat_deg))))
    return lon, lat


def subfault_centres_km(seg: SegmentGeometry, origin_lon: float, origin_lat: float):
    """Centres of a segment's subfaults as (east, north, depth) km from an origin, grid order."""
    strike = math.radians(seg.strike_deg)
    dip = math.radians(seg.dip_deg)
    ref_e = (seg.lon_deg - origin_lon) * math.radians(1) * EARTH_RADIUS_KM * math.cos(
        math.radians(origin_lat)
    )
    ref_n = (seg.lat_deg - origin_lat) * math.radians(1) * EARTH_RADIUS_KM
    half_length = 0.5 * seg.along_strike * SUBFAULT_KM
    along = (np.arange(seg.along_strike) + 0.5) * SUBFAULT_KM - half_length
    down = (np.arange(seg.down_dip) + 0.5) * SUBFAULT_KM
    a, d = np.meshgrid(along, down)  # shape (down_dip, along_strike)
    horiz = d * math.cos(dip)
    east = ref_e + a * math.sin(strike) + horiz * math.cos(strike)
    north = ref_n + a * math.cos(strike) - horiz * math.sin(strike)
    depth = seg.top_depth_km + d * math.sin(dip)
    return east, north, depth


def slip_distribution(shape, peak_cm: float, centre, rng: np.random.Generator):
    """A smooth asperity with some roughness: slip in cm on a (down_dip, along_strike) grid."""
    rows, cols = shape
    j, i = np.mgrid[0:rows, 0:cols]
    bump = np.exp(-(((i - centre[1]) / (0.35 * cols)) ** 2 + ((j - centre[0]) / (0.45 * rows)) ** 2))
    rough = 1.0 + 0.25 * rng.standard_normal(shape)
    return np.clip(peak_cm * bump * rough, 5.0, None).astype(np.float32)


def build_slip_model():
    """The two-segment slip model and every subfault centre (east, north, depth km)."""
    rng = np.random.default_rng(2026)
    origin = (SEGMENTS[0].lon_deg, SEGMENTS[0].lat_deg)
    # Hypocentre position in the local frame of segment 0.
    e0, n0, z0 = subfault_centres_km(SEGMENTS[0], *origin)
    col = int(HYPOCENTRE_ALONG_KM / SUBFAULT_KM)
    row = int(HYPOCENTRE_DOWN_DIP_KM / SUBFAULT_KM)
    hypo = (e0[row, col], n0[row, col], z0[row, col])

    segments, centres = [], []
    for k, seg in enumerate(SEGMENTS):
        east, north, depth = subfault_centres_km(seg, *origin)
        distance = np.sqrt((east - hypo[0]) ** 2 + (north - hypo[1]) ** 2 + (depth - hypo[2]) ** 2)
        shape = (seg.down_dip, seg.along_strike)
        slip = slip_distribution(shape, 220.0 if k == 0 else 120.0, (row, col) if k == 0 else (3, 2), rng)
        segments.append(
            orv.FaultSegment(
                longitude_deg=seg.lon_deg,
                latitude_deg=seg.lat_deg,
                strike_deg=seg.strike_deg,
                dip_deg=seg.dip_deg,
                rake_deg=seg.rake_deg,
                top_depth_km=seg.top_depth_km,
                subfault_length_km=SUBFAULT_KM,
                subfault_width_km=SUBFAULT_KM,
                hypocentre_along_strike_km=HYPOCENTRE_ALONG_KM if k == 0 else 0.0,
                hypocentre_down_dip_km=HYPOCENTRE_DOWN_DIP_KM if k == 0 else 0.0,
                slip=slip,
                rise_time_s=np.full(shape, 1.2, dtype=np.float32),
                rupture_time_s=(distance / RUPTURE_SPEED_KM_S).astype(np.float32),
                stress_drop_bars=np.full(shape, 50.0, dtype=np.float32),
            )
        )
        centres.append(np.stack([east.ravel(), north.ravel(), depth.ravel()], axis=1))
    return orv.SlipModel(segments), np.concatenate(centres), origin


def build_velocity_model():
    """A six-layer crust over the mantle, cut where the shear speed reaches 4.4 km/s."""
    return orv.VelocityModel1D(
        thickness_km=np.array([1.0, 3.0, 6.0, 10.0, 12.0, 0.0], dtype=np.float32),
        vp_km_s=np.array([3.2, 4.8, 5.9, 6.3, 6.8, 7.9]),
        vsh_km_s=np.array([1.8, 2.8, 3.4, 3.6, 3.9, 4.5]),
        density_g_cm3=np.array([2.2, 2.5, 2.7, 2.8, 2.9, 3.3]),
        quality_factor_p=np.array([100, 300, 600, 800, 1000, 1200], dtype=np.float32),
        quality_factor_s=np.array([50, 150, 300, 400, 500, 600], dtype=np.float32),
        vs_moho_km_s=4.4,
    )


def build_config(duration_s: float = 40.0, dt: float = 0.01):
    """Source, path (direct and Moho-reflected rays), site and record parameters."""
    return orv.HfConfig(
        source=orv.SourceParameters(
            corner_frequency_constant=2.1,
            corner_frequency_alpha=0.5,
            rupture_velocity_fraction=0.8,
            rupture_velocity_shallow=0.6,
            rupture_velocity_deep=1.0,
            rupture_velocity_sigma=0.1,
        ),
        path=orv.PathParameters(rayset=[1, 2], path_duration_model=11),
        site=orv.SiteParameters(fmax_hz=10.0),
        record=orv.RecordParameters(duration_s=duration_s, dt=dt),
    )


@dataclass(frozen=True)
class Stations:
    """Per-station arrays in the element types `run_stations` takes."""

    latitude_deg: np.ndarray  # float32
    longitude_deg: np.ndarray  # float32
    station_seed: np.ndarray  # uint64
    kappa_s: np.ndarray  # float32
    q_frequency_exponent: np.ndarray  # float32
    rupture_distance_km: np.ndarray  # float64, closest subfault centre

    def __len__(self):
        return len(self.latitude_deg)

    def batch(self, start: int, stop: int) -> dict:
        """Keyword arguments of `run_stations` for stations start..stop-1."""
        return dict(
            latitude_deg=self.latitude_deg[start:stop],
            longitude_deg=self.longitude_deg[start:stop],
            station_seed=self.station_seed[start:stop],
            kappa_s=self.kappa_s[start:stop],
            q_frequency_exponent=self.q_frequency_exponent[start:stop],
        )


def build_stations(centres_km: np.ndarray, origin, count: int = 36) -> Stations:
    """`count` stations from about 2 to 100 km from the rupture, spread in azimuth."""
    rng = np.random.default_rng(7)
    # Walk out from above the shallowest subfaults, so that near stations can
    # come within a few km of the rupture.
    shallowest = centres_km[:, 2] <= centres_km[:, 2].min() + 1e-6
    centroid = centres_km[shallowest, :2].mean(axis=0)
    lats, lons, rrup = [], [], []
    for k, target in enumerate(np.geomspace(2.0, 100.0, count)):
        azimuth = math.radians((k * 137.508) % 360.0)  # golden-angle spread
        # Walk out until the closest subfault centre is `target` away.
        best = None
        for r in np.linspace(0.0, target + 30.0, 400):
            e = centroid[0] + r * math.sin(azimuth)
            n = centroid[1] + r * math.cos(azimuth)
            d = np.sqrt((centres_km[:, 0] - e) ** 2 + (centres_km[:, 1] - n) ** 2 + centres_km[:, 2] ** 2)
            best = (e, n, d.min())
            if d.min() >= target:
                break
        lon, lat = offset_point(origin[0], origin[1], best[0], best[1])
        lats.append(lat)
        lons.append(lon)
        rrup.append(best[2])
    return Stations(
        latitude_deg=np.array(lats, dtype=np.float32),
        longitude_deg=np.array(lons, dtype=np.float32),
        station_seed=rng.integers(0, 2**64 - 1, size=count, dtype=np.uint64, endpoint=True),
        kappa_s=np.full(count, 0.04, dtype=np.float32),
        q_frequency_exponent=np.full(count, 0.6, dtype=np.float32),
        rupture_distance_km=np.array(rrup),
    )


def build_simulator(duration_s: float = 40.0, dt: float = 0.01, count: int = 36):
    """The simulator of the default scenario and its `count` stations."""
    slip_model, centres, origin = build_slip_model()
    simulator = orv.Simulator(build_config(duration_s, dt), slip_model, build_velocity_model())
    return simulator, build_stations(centres, origin, count), slip_model
