// Pins the exact records of a fixed scenario, in both generator modes.
//
// Work on the station run's speed must not change a single bit of any record:
// the values below are FNV-1a 64 hashes of the bit patterns of every sample of
// every component, taken before any such work. A change that moves a record
// by one unit in the last place of one sample changes its hash. Like every
// record, they hold where the transform library and the maths library round
// alike (the same libraries on the same kind of processor).
//
// The scenario is small but has what a real one has: two segments diced
// alike (8 × 5 and 6 × 5 subfaults of 2 km, different strikes and dips), the
// six-layer crust, ray codes {0, 1, 2} (a straight ray, the direct and the
// reflected layered rays), 30 s at 0.01 s, f_max 20 Hz (so the vertical's
// capped f_max differs from the horizontals' and the amplitude is refreshed
// twice per pair), and stations from 3 to 90 km with the kappa filter and,
// for one, the f_max decay (kappa 0).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/scenario.hpp"
#include "kelvane/cpu.hpp"
#include "kelvane/sim.hpp"

namespace {

using namespace kelvane;

// FNV-1a 64 over the little-endian bytes of each sample's bit pattern.
std::uint64_t record_hash(const std::vector<float>& acc) {
    std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a 64 offset basis
    for (const float sample : acc) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &sample, sizeof bits);
        for (int byte = 0; byte < 4; ++byte) {
            h ^= (bits >> (8 * byte)) & 0xffu;
            h *= 0x100000001b3ULL;  // FNV-1a 64 prime
        }
    }
    return h;
}

std::string hex(std::uint64_t value) {
    char text[19];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(value));
    return text;
}

scenario::Earthquake pinned_quake() {
    scenario::Earthquake quake;
    quake.along_strike_count = 8;
    quake.down_dip_count = 5;
    quake.hypocentre_along_strike_km = 6.0f;
    quake.hypocentre_down_dip_km = 5.0f;
    quake.rayset = {0, 1, 2};
    quake.fmax_hz = 20.0f;
    quake.duration_s = 30.0f;
    return quake;
}

const sim::Simulator& pinned_simulator() {
    static const sim::Simulator simulator = [] {
        const scenario::Earthquake quake = pinned_quake();
        // The second segment continues the first to the north-east, steeper.
        scenario::Earthquake second = quake;
        second.fault_lon_deg = -118.42f;
        second.fault_lat_deg = 34.33f;
        second.along_strike_count = 6;
        second.strike_deg = 45.0f;
        second.dip_deg = 80.0f;
        second.rake_deg = 120.0f;
        second.hypocentre_along_strike_km = 0.0f;
        second.hypocentre_down_dip_km = 0.0f;
        std::vector<input::Segment> segments;
        segments.push_back(scenario::segment_of(quake, scenario::subfaults_of(quake)));
        segments.push_back(scenario::segment_of(second, scenario::subfaults_of(second)));
        return scenario::simulator_of(quake, std::move(segments));
    }();
    return simulator;
}

struct PinnedStation {
    float distance_km;
    float azimuth_deg;
    float kappa_s;
    float q_exponent;
    std::uint64_t seed;
    std::uint64_t pcg_hash;      // records with the PCG generator
    std::uint64_t fixture_hash;  // records with KELVANE_FIXTURE_RNG set
};

const std::vector<PinnedStation>& pinned_stations() {
    static const std::vector<PinnedStation> stations = {
        {3.0f, -60.0f, 0.04f, 0.6f, 1ULL,
         0x215b788123c027b1ULL, 0x3bbdaa7afda2f8fdULL},
        {15.0f, 120.0f, 0.0f, 0.6f, 0x9e3779b97f4a7c15ULL,
         0x66db7fa27760e775ULL, 0xc6304a1734aa56a3ULL},
        {40.0f, 200.0f, 0.03f, 0.5f, 20260ULL,
         0x642032850a512b24ULL, 0x8d5265db35b46da3ULL},
        {90.0f, 10.0f, 0.05f, 0.7f, 0xffffffffffffffffULL,
         0x194b36298155dba1ULL, 0x9e3b9de4a0f87532ULL},
    };
    return stations;
}

// The records of every pinned station with the generator the environment selects.
std::vector<std::uint64_t> hashes_of_pinned_runs() {
    const scenario::Earthquake quake = pinned_quake();
    std::vector<std::uint64_t> hashes;
    for (const PinnedStation& p : pinned_stations()) {
        const input::Station station =
            scenario::station_at(quake, p.distance_km, p.azimuth_deg, p.kappa_s, p.q_exponent);
        const sim::Simulation out = pinned_simulator().run(station, p.seed);
        // A record of zeros would pin nothing.
        float peak = 0.0f;
        for (const float a : out.acc) peak = std::max(peak, std::abs(a));
        EXPECT_GT(peak, 0.0f) << "station at " << p.distance_km << " km";
        hashes.push_back(record_hash(out.acc));
    }
    return hashes;
}

TEST(RecordHash, PcgRecordsArePinned) {
    ::unsetenv("KELVANE_FIXTURE_RNG");
    const std::vector<std::uint64_t> hashes = hashes_of_pinned_runs();
    for (std::size_t k = 0; k < hashes.size(); ++k) {
        EXPECT_EQ(hex(hashes[k]), hex(pinned_stations()[k].pcg_hash))
            << "station at " << pinned_stations()[k].distance_km << " km";
    }
}

TEST(RecordHash, FixtureRecordsArePinned) {
    ::setenv("KELVANE_FIXTURE_RNG", "", 1);
    const std::vector<std::uint64_t> hashes = hashes_of_pinned_runs();
    ::unsetenv("KELVANE_FIXTURE_RNG");
    for (std::size_t k = 0; k < hashes.size(); ++k) {
        EXPECT_EQ(hex(hashes[k]), hex(pinned_stations()[k].fixture_hash))
            << "station at " << pinned_stations()[k].distance_km << " km";
    }
}

// The loops with a 256-bit body also have a baseline one, chosen by the
// processor: forced onto the baseline bodies, the records keep their bits.
TEST(RecordHash, BaselineLanesGiveThePinnedRecords) {
    cpu::use_baseline_lanes(true);
    ::unsetenv("KELVANE_FIXTURE_RNG");
    const std::vector<std::uint64_t> pcg = hashes_of_pinned_runs();
    ::setenv("KELVANE_FIXTURE_RNG", "", 1);
    const std::vector<std::uint64_t> fixture = hashes_of_pinned_runs();
    ::unsetenv("KELVANE_FIXTURE_RNG");
    cpu::use_baseline_lanes(false);
    for (std::size_t k = 0; k < pinned_stations().size(); ++k) {
        EXPECT_EQ(hex(pcg[k]), hex(pinned_stations()[k].pcg_hash))
            << "station at " << pinned_stations()[k].distance_km << " km";
        EXPECT_EQ(hex(fixture[k]), hex(pinned_stations()[k].fixture_hash))
            << "station at " << pinned_stations()[k].distance_km << " km";
    }
}

}  // namespace
