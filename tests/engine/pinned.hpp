// Exact results pinned to one platform, and the stored copies that check the
// same results on every other.
//
// A record's bits depend on more than the engine's code: on the C maths
// library (sinf, cosf, acosf, expf, logf round differently from one glibc
// release to the next), on the transform library's codelets and on the
// geodesic solver. A test that pins bits names the platform that produced
// them (`pinned_platform`) and checks them bit for bit there only. Everywhere
// else it checks the same results against the stored values within a bound it
// states, and says on standard error (and as a test property) where it ran and
// how far the results were from the stored ones.
//
// Stored values are little-endian 32-bit floats in tests/engine/data/. They
// are written on the pinned platform only, by the tests themselves: run, in
// the build's tests/ folder,
//
//     KELVANE_WRITE_PINNED=1 ./kelvane_tests --gtest_filter='RecordHash.*:GeomReference.*'
//
// and each test that stores values rewrites its file from the run, after
// checking that the run gives the pinned hashes (so a file always holds the
// pinned results, and changing a pin stays a deliberate edit of its hash).
#pragma once

#include <fftw3.h>
#include <gnu/libc-version.h>
#include <gtest/gtest.h>

#include <GeographicLib/Config.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace kelvane::testing_support {

// What exact results depend on outside the engine.
struct Platform {
    std::string libc;           // gnu_get_libc_version()
    std::string fftw;           // fftwf_version: release and the codelet sets it was built with
    std::string geographiclib;  // GEOGRAPHICLIB_VERSION_STRING of the headers built against
    std::string processor;      // the architecture the build targets

    friend bool operator==(const Platform&, const Platform&) = default;
};

inline Platform running_platform() {
#if defined(__x86_64__)
    const char* processor = "x86_64";
#elif defined(__aarch64__)
    const char* processor = "aarch64";
#else
    const char* processor = "other";
#endif
    return {gnu_get_libc_version(), fftwf_version, GEOGRAPHICLIB_VERSION_STRING, processor};
}

// The platform every pinned hash and bit pattern in the engine tests comes
// from: Debian bookworm on x86-64 (glibc 2.36, FFTW 3.3.10, GeographicLib
// 2.1.2).
inline const Platform& pinned_platform() {
    static const Platform pinned{"2.36", "fftw-3.3.10-sse2-avx", "2.1.2", "x86_64"};
    return pinned;
}

inline bool on_pinned_platform() { return running_platform() == pinned_platform(); }

inline std::string describe(const Platform& p) {
    return "glibc " + p.libc + ", " + p.fftw + ", GeographicLib " + p.geographiclib + ", " +
           p.processor;
}

// Records the running platform as the test's "platform" property, prints one
// line saying whether it is the pinned one and returns whether it is. The
// compiler is named too: it does not decide the pinned platform (the build
// keeps the written operation order), but a log reader may want it.
inline bool announce_platform() {
    const bool pinned = on_pinned_platform();
    const std::string text = describe(running_platform());
    testing::Test::RecordProperty("platform", text);
    testing::Test::RecordProperty("pinned_platform", pinned ? "yes" : "no");
    std::cerr << "[ platform ] " << text << ", compiler " << __VERSION__
              << (pinned ? ": the pinned platform, results checked bit for bit\n"
                         : ": not the pinned platform (" + describe(pinned_platform()) +
                               "), results checked against stored values within a bound\n");
    return pinned;
}

// One line of measured distance off the pinned platform, on standard error
// and as the test property `key`.
inline void report_distance(const std::string& key, const std::string& text) {
    testing::Test::RecordProperty(key, text);
    std::cerr << "[ distance ] " << key << ": " << text << '\n';
}

// Distance in units in the last place between two 32-bit values: the number
// of representable floats from one to the other (+0 and -0 are 0 apart). Two
// NaNs are 0 apart, a NaN and a number as far as can be.
inline std::int64_t ulp_distance(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b) ? 0 : std::numeric_limits<std::int64_t>::max();
    }
    // Sign-magnitude bit patterns onto one ordered integer line.
    const auto ordered = [](float x) {
        const std::uint32_t u = std::bit_cast<std::uint32_t>(x);
        const std::int64_t magnitude = static_cast<std::int64_t>(u & 0x7fffffffu);
        return (u & 0x80000000u) != 0 ? -magnitude : magnitude;
    };
    const std::int64_t d = ordered(a) - ordered(b);
    return d < 0 ? -d : d;
}

// FNV-1a 64 over the little-endian bytes of each value's bit pattern, in
// order: one unit in the last place of one value changes it.
inline std::uint64_t bit_hash(std::span<const float> values) {
    std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a 64 offset basis
    for (const float value : values) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
        for (int byte = 0; byte < 4; ++byte) {
            h ^= (bits >> (8 * byte)) & 0xffu;
            h *= 0x100000001b3ULL;  // FNV-1a 64 prime
        }
    }
    return h;
}

// Compares results one by one with their pinned values: the same bits on the
// pinned platform, within `ulp_bound` units in the last place elsewhere. It
// keeps the largest distance and where it was, for `report`.
class UlpCheck {
public:
    UlpCheck(bool pinned, std::int64_t ulp_bound) : pinned_(pinned), bound_(ulp_bound) {}

    void expect(float got, float want, const std::string& where) {
        const std::int64_t ulps = ulp_distance(got, want);
        if (ulps > largest_) {
            largest_ = ulps;
            largest_at_ = where;
        }
        if (pinned_) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(want))
                << where << ": " << got << " for " << want;
        } else {
            EXPECT_LE(ulps, bound_) << where << ": " << got << " for " << want;
        }
    }

    // Off the pinned platform, the largest distance as the distance line `key`.
    void report(const std::string& key) const;

private:
    bool pinned_;
    std::int64_t bound_;
    std::int64_t largest_ = 0;
    std::string largest_at_ = "-";
};

// True when the stored values of the pinned tests are to be rewritten.
inline bool writing_pinned_values() { return std::getenv("KELVANE_WRITE_PINNED") != nullptr; }

// The path of stored file `name`.
inline std::string stored_path(const std::string& name) {
    return std::string(KELVANE_SOURCE_DIR) + "/tests/engine/data/" + name;
}

// The little-endian 32-bit floats of stored file `name`; empty (with a test
// failure) when it cannot be read or its size is not a whole number of floats.
inline std::vector<float> read_stored(const std::string& name) {
    const std::string path = stored_path(name);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read stored values " << path;
        return {};
    }
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in),
                                           std::istreambuf_iterator<char>()};
    if (bytes.size() % 4 != 0) {
        ADD_FAILURE() << path << " holds " << bytes.size() << " bytes, not whole 32-bit values";
        return {};
    }
    std::vector<float> values(bytes.size() / 4);
    for (std::size_t k = 0; k < values.size(); ++k) {
        std::uint32_t bits = 0;
        for (std::size_t byte = 0; byte < 4; ++byte) {
            bits |= static_cast<std::uint32_t>(bytes[4 * k + byte]) << (8 * byte);
        }
        values[k] = std::bit_cast<float>(bits);
    }
    return values;
}

// Writes `values` as stored file `name`, little-endian; a test failure when
// the file cannot be written.
inline void write_stored(const std::string& name, const std::vector<float>& values) {
    const std::string path = stored_path(name);
    std::vector<char> bytes(values.size() * 4);
    for (std::size_t k = 0; k < values.size(); ++k) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(values[k]);
        for (std::size_t byte = 0; byte < 4; ++byte) {
            bytes[4 * k + byte] = static_cast<char>((bits >> (8 * byte)) & 0xffu);
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        ADD_FAILURE() << "cannot write stored values " << path;
        return;
    }
    std::cerr << "[ stored   ] wrote " << values.size() << " values to " << path << '\n';
}

inline void UlpCheck::report(const std::string& key) const {
    if (pinned_) return;
    report_distance(key, "max " + std::to_string(largest_) + " ulp (" + largest_at_ + ")");
}

}  // namespace kelvane::testing_support
