// Random streams: exact words, values and bit patterns of both sources, the
// seed tree, the ziggurat's slow paths and its tables.
#include "kelvane/rng.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using kelvane::rng::DrawSource;
using kelvane::rng::FixtureDraws;
using kelvane::rng::Pcg;
using kelvane::rng::ZIG_NORM_F;
using kelvane::rng::ZIG_NORM_R;
using kelvane::rng::ZIG_NORM_X;

constexpr std::uint64_t GAMMA = 0x9e3779b97f4a7c15ULL;

std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

// Sets or clears KELVANE_FIXTURE_RNG for one scope and restores it after.
class FixtureVariable {
public:
    explicit FixtureVariable(const char* value) {
        if (const char* old = std::getenv(kName)) saved_ = std::string(old);
        if (value != nullptr) {
            ::setenv(kName, value, 1);
        } else {
            ::unsetenv(kName);
        }
    }
    FixtureVariable(const FixtureVariable&) = delete;
    FixtureVariable& operator=(const FixtureVariable&) = delete;
    ~FixtureVariable() {
        if (saved_) {
            ::setenv(kName, saved_->c_str(), 1);
        } else {
            ::unsetenv(kName);
        }
    }

private:
    static constexpr const char* kName = "KELVANE_FIXTURE_RNG";
    std::optional<std::string> saved_;
};

// A word source replaying fixed words and counting how many were taken.
struct ScriptedWords {
    std::vector<std::uint64_t> words;
    std::size_t taken = 0;
    std::uint64_t operator()() { return words.at(taken++); }
};

// A ziggurat word: the layer in bits 0..7, u = m 2^-51 - 1 from the 52-bit
// mantissa m in bits 12..63.
std::uint64_t zig_word(std::uint64_t mantissa, std::uint64_t layer) {
    return (mantissa << 12) | layer;
}

TEST(RngPcg, SeedExpansionGivesKnownStateIncrementAndOutputs) {
    struct Case {
        std::uint64_t seed;
        std::uint64_t state;
        std::uint64_t increment;
        std::vector<std::uint32_t> outputs;
    };
    const Case cases[] = {
        {0, 0xfc470875cce5f8beULL, 0xad6cad067346f087ULL,
         {0x11cdd903u, 0xfc843fd7u, 0x140833d3u, 0x3efaaf3eu}},
        {42, 0xe8ca924090af6b0eULL, 0xb8140169cca1b8ebULL, {0xcaa87230u, 0xc7a95d44u, 0x1eb4d0aeu}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seed);
        Pcg source = Pcg::seed(c.seed);
        EXPECT_EQ(source.generator.state, c.state);
        EXPECT_EQ(source.generator.increment, c.increment);
        for (const std::uint32_t expected : c.outputs) EXPECT_EQ(source.generator.next_u32(), expected);
    }
}

TEST(RngPcg, UniformsAndNormalOfSeed42) {
    Pcg source = Pcg::seed(42);
    const float expected[] = {0.7916327714920044f, 0.7799280285835266f, 0.11994647979736328f};
    const std::uint32_t expected_bits[] = {0x3f4aa872u, 0x3f47a95du, 0x3df5a680u};
    for (int k = 0; k < 3; ++k) {
        const float value = source.uniform();
        EXPECT_EQ(value, expected[k]);
        EXPECT_EQ(bits_of(value), expected_bits[k]);
    }

    // A fresh source reads the 64-bit word 0xc7a95d44caa87230 (first output
    // low, second high): layer 48, accepted in its rectangle.
    Pcg fresh = Pcg::seed(42);
    kelvane::rng::pcg::Pcg32 peek = fresh.generator;
    const std::uint64_t word = peek.next_u64();
    EXPECT_EQ(word, 0xc7a95d44caa87230ULL);
    EXPECT_EQ(word & 255u, 48u);
    const float normal = fresh.normal();
    EXPECT_EQ(normal, 1.2254705429077148f);
    EXPECT_EQ(bits_of(normal), 0x3f9cdc38u);
    EXPECT_EQ(fresh.generator.state, 0x7b42a6aa7a65b4f8ULL);
    EXPECT_EQ(fresh.generator.state, peek.state);
}

TEST(RngFixture, SeedWordsUniformsAndNormalOfSeed42) {
    FixtureDraws source = FixtureDraws::seed(42);
    EXPECT_EQ(source.state, 0x9e3779b97f4a7c3fULL);
    const std::uint64_t words[] = {0x28efe333b266f103ULL, 0x47526757130f9f52ULL,
                                   0x581ce1ff0e4ae394ULL};
    FixtureDraws word_source = source;
    for (const std::uint64_t word : words) EXPECT_EQ(word_source.next_word(), word);

    const float expected[] = {0.1599103808403015f, 0.27860110998153687f, 0.34419065713882446f};
    const std::uint32_t expected_bits[] = {0x3e23bf8cu, 0x3e8ea4ceu, 0x3eb039c2u};
    for (int k = 0; k < 3; ++k) {
        const float value = source.uniform();
        EXPECT_EQ(value, expected[k]);
        EXPECT_EQ(bits_of(value), expected_bits[k]);
    }

    // Layer 3 (the first word's low byte), accepted in its rectangle: one word.
    FixtureDraws fresh = FixtureDraws::seed(42);
    EXPECT_EQ(words[0] & 255u, 3u);
    const float normal = fresh.normal();
    EXPECT_EQ(normal, -2.258361339569092f);
    EXPECT_EQ(bits_of(normal), 0xc01088feu);
    EXPECT_EQ(fresh.state, 0x9e3779b97f4a7c3fULL + GAMMA);
}

TEST(RngFixture, UsesOnlyTheLow32BitsOfAStreamSeedAsASignedInteger) {
    struct Case {
        std::uint64_t seed;
        std::uint64_t state;
    };
    // 0x80000000 is -2^31 as a signed 32-bit integer: sign-extended, then
    // XORed with the golden gamma.
    const Case cases[] = {
        {0x80000000ULL, 0x61c88646ff4a7c15ULL},
        {0x1234567880000000ULL, 0x61c88646ff4a7c15ULL},
        {0xffffffffULL, ~GAMMA},
        {0x7fffffffULL, 0x7fffffffULL ^ GAMMA},
        {42, 0x9e3779b97f4a7c3fULL},
    };
    const FixtureDraws any = FixtureDraws::seed(7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seed);
        EXPECT_EQ(any.respawn(c.seed).state, c.state);
    }
    EXPECT_EQ(FixtureDraws::seed(-1).state, ~GAMMA);
    EXPECT_EQ(FixtureDraws::seed(INT32_MIN).state, 0x61c88646ff4a7c15ULL);
}

TEST(RngSources, RespawnIgnoresAndKeepsTheReceiversState) {
    Pcg used = Pcg::seed(1);
    for (int k = 0; k < 5; ++k) used.uniform();
    const Pcg before = used;
    const Pcg child = used.respawn(42);
    EXPECT_EQ(child.generator.state, Pcg::seed(42).generator.state);
    EXPECT_EQ(child.generator.increment, Pcg::seed(42).generator.increment);
    EXPECT_EQ(used.generator.state, before.generator.state);

    FixtureDraws fixture = FixtureDraws::seed(3);
    fixture.next_word();
    const FixtureDraws fixture_before = fixture;
    EXPECT_EQ(fixture.respawn(42).state, FixtureDraws::seed(42).state);
    EXPECT_EQ(fixture.state, fixture_before.state);
}

TEST(RngDrawSource, EnvironmentPresenceAloneSelectsTheFixture) {
    struct Case {
        const char* value;  // null: unset
        DrawSource::Kind kind;
    };
    const Case cases[] = {
        {nullptr, DrawSource::Kind::Modern},
        {"", DrawSource::Kind::Fixture},
        {"0", DrawSource::Kind::Fixture},
        {"no", DrawSource::Kind::Fixture},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value == nullptr ? "unset" : c.value);
        const FixtureVariable variable(c.value);
        const DrawSource station = DrawSource::for_station(0x1234567880000000ULL);
        ASSERT_EQ(station.kind(), c.kind);
        // Streams made from the station stream keep its kind.
        const DrawSource child = station.respawn(42);
        ASSERT_EQ(child.kind(), c.kind);
        if (c.kind == DrawSource::Kind::Fixture) {
            EXPECT_EQ(station.fixture_source()->state, 0x61c88646ff4a7c15ULL);
            EXPECT_EQ(child.fixture_source()->state, 0x9e3779b97f4a7c3fULL);
            EXPECT_EQ(station.modern_source(), nullptr);
        } else {
            const Pcg expected = Pcg::seed(0x1234567880000000ULL);
            EXPECT_EQ(station.modern_source()->generator.state, expected.generator.state);
            EXPECT_EQ(station.modern_source()->generator.increment, expected.generator.increment);
            EXPECT_EQ(child.modern_source()->generator.state, Pcg::seed(42).generator.state);
            EXPECT_EQ(station.fixture_source(), nullptr);
        }
    }
}

TEST(RngDrawSource, FixtureStationStreamsAgreeButSubfaultStreamsDiffer) {
    const FixtureVariable variable("");
    const std::uint64_t low_only = 0x80000000ULL;
    const std::uint64_t with_high = 0x1234567880000000ULL;
    DrawSource a = DrawSource::for_station(low_only);
    DrawSource b = DrawSource::for_station(with_high);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(bits_of(a.uniform()), bits_of(b.uniform()));

    // Subfault and ray seeds pass the whole 64-bit station seed through mix64.
    const std::uint64_t seed_a = kelvane::sim::substream_seed(low_only, 0, 0);
    const std::uint64_t seed_b = kelvane::sim::substream_seed(with_high, 0, 0);
    ASSERT_NE(static_cast<std::uint32_t>(seed_a), static_cast<std::uint32_t>(seed_b));
    DrawSource sub_a = a.respawn(seed_a);
    DrawSource sub_b = b.respawn(seed_b);
    EXPECT_NE(sub_a.fixture_source()->state, sub_b.fixture_source()->state);
    EXPECT_NE(bits_of(sub_a.normal()), bits_of(sub_b.normal()));
}

TEST(RngUnitInterval, TopTwentyFourBitsScaledBelowOne) {
    struct Case {
        std::uint32_t word;
        float value;
    };
    const Case cases[] = {
        {0x00000000u, 0.0f},
        {0x000000ffu, 0.0f},  // only the low 8 bits set: still 0
        {0x00000100u, 0x1p-24f},
        {0x80000000u, 0.5f},
        {0xffffffffu, 1.0f - 0x1p-24f},  // the largest value, never 1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(bits_of(kelvane::rng::unit_interval_from(c.word)), bits_of(c.value));
    }
    EXPECT_LT(kelvane::rng::unit_interval_from(0xffffffffu), 1.0f);
}

TEST(RngSeedTree, MixAndStreamSeedsHaveKnownValues) {
    using kelvane::sim::mix64;
    using kelvane::sim::ray_stream_seed;
    using kelvane::sim::substream_seed;
    EXPECT_EQ(mix64(0), 0u);
    EXPECT_EQ(mix64(1), 0x5692161d100b05e5ULL);

    struct Case {
        std::uint64_t station_seed;
        std::size_t segment;
        std::size_t subfault;
        std::uint64_t subfault_seed;
        std::size_t ray;
        std::uint64_t ray_seed;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0, 0xe220a8397b1dcdafULL},
        {42, 0, 0, 0x97ea87f7e45c00a5ULL, 0, 0xc635516ab0370364ULL},
        {42, 1, 5, 0x0258f0ecc0673c0dULL, 2, 0x9cc72b9abff105e3ULL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subfault_seed);
        EXPECT_EQ(substream_seed(c.station_seed, c.segment, c.subfault), c.subfault_seed);
        // The per-segment split gives the same seed.
        const std::uint64_t per_segment = kelvane::sim::segment_seed(c.station_seed, c.segment);
        EXPECT_EQ(kelvane::sim::substream_seed_from_segment(per_segment, c.subfault), c.subfault_seed);
        EXPECT_EQ(ray_stream_seed(c.subfault_seed, c.ray), c.ray_seed);
    }
}

// A normal draw from replayed words: its value and how many words it took.
struct ScriptedDraw {
    const char* what;
    std::vector<std::uint64_t> words;
    std::size_t words_taken;
};

TEST(RngZiggurat, BaseLayerPastRGoesToTheTail) {
    constexpr std::uint64_t top = (std::uint64_t{1} << 52) - 1;  // u = 1 - 2^-51
    constexpr std::uint64_t half = std::uint64_t{1} << 63;       // Open01 = 1/2 + 2^-53
    constexpr std::uint64_t all = ~std::uint64_t{0};             // Open01 = 1 - 2^-53
    const ScriptedDraw draws[] = {
        // Layer 0 with |x| = (1 - 2^-51) X[0] > R: the tail, accepted at once.
        {"tail, positive", {zig_word(top, 0), half, half}, 3},
        // u = -1: the tail on the negative side.
        {"tail, negative", {zig_word(0, 0), half, half}, 3},
        // A tail pass with b next to 1 fails (-2 ln b ~ 2^-52 < xt^2), so a
        // second pass runs.
        {"tail, two passes", {zig_word(top, 0), half, all, half, half}, 5},
    };
    for (const ScriptedDraw& d : draws) {
        SCOPED_TRACE(d.what);
        ScriptedWords words{d.words};
        const float value = kelvane::rng::ziggurat_normal(words);
        EXPECT_EQ(words.taken, d.words_taken);
        EXPECT_GE(std::fabs(static_cast<double>(value)), ZIG_NORM_R);
        // The accepted pass had a = b = 1/2 + 2^-53.
        const double xt = std::log(0.5 + 0x1p-53) / ZIG_NORM_R;
        const double magnitude = ZIG_NORM_R - xt;
        const double expected = (d.words[0] >> 12) == 0 ? -magnitude : magnitude;
        EXPECT_EQ(bits_of(value), bits_of(static_cast<float>(expected)));
    }
}

TEST(RngZiggurat, Layer255AlwaysGoesToTheDensityTest) {
    constexpr std::uint64_t zero_u = std::uint64_t{1} << 51;  // u = 0, so x = 0
    constexpr std::uint64_t mid = std::uint64_t{1} << 63;     // U = 1/2
    struct Case {
        const char* what;
        std::vector<std::uint64_t> words;
        std::size_t words_taken;
        float value;
    };
    const Case cases[] = {
        // x = 0 is not below X[256] = 0, so even x = 0 needs a second word;
        // height 1 - (1 - F[255]) / 2 < exp(0): accepted.
        {"x = 0 accepted by the density test", {zig_word(zero_u, 255), mid}, 2, 0.0f},
        // U = 0 gives height F[256] = 1, not below exp(0) = 1: rejected, and
        // the whole draw starts over with a fresh word (layer 3, inside).
        {"rejection starts over", {zig_word(zero_u, 255), 0, zig_word(zero_u, 3)}, 3, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedWords words{c.words};
        const float value = kelvane::rng::ziggurat_normal(words);
        EXPECT_EQ(words.taken, c.words_taken);
        EXPECT_EQ(bits_of(value), bits_of(c.value));
    }
}

TEST(RngZiggurat, SampleMomentsAreStandardNormal) {
    // Guards the tables and the wedge test as a whole: a wrong layer edge or
    // density shows in the variance or the tail fraction.
    const FixtureVariable variable(nullptr);
    for (const DrawSource::Kind kind : {DrawSource::Kind::Modern, DrawSource::Kind::Fixture}) {
        DrawSource source = kind == DrawSource::Kind::Modern
                                ? DrawSource::modern(Pcg::seed(2024))
                                : DrawSource::fixture(FixtureDraws::seed(2024));
        std::vector<float> values(1 << 21);
        source.fill_normal(values);
        double sum = 0.0;
        double sum2 = 0.0;
        double sum4 = 0.0;
        std::size_t beyond_r = 0;
        for (const float v : values) {
            const double x = static_cast<double>(v);
            sum += x;
            sum2 += x * x;
            sum4 += x * x * x * x;
            if (std::fabs(x) >= ZIG_NORM_R) ++beyond_r;
        }
        const double n = static_cast<double>(values.size());
        EXPECT_NEAR(sum / n, 0.0, 0.003);
        EXPECT_NEAR(sum2 / n, 1.0, 0.004);
        EXPECT_NEAR(sum4 / n, 3.0, 0.03);
        // P(|x| >= R) = erfc(R / sqrt 2) = 2.58e-4.
        EXPECT_NEAR(static_cast<double>(beyond_r) / n, std::erfc(ZIG_NORM_R / std::sqrt(2.0)), 4e-5);
    }
}

TEST(RngSources, FillsConsumeExactlyWhatSingleDrawsConsume) {
    const std::size_t lengths[] = {0, 1, 7, 1000};
    for (const DrawSource::Kind kind : {DrawSource::Kind::Modern, DrawSource::Kind::Fixture}) {
        for (const std::size_t n : lengths) {
            SCOPED_TRACE(testing::Message() << "fixture " << (kind == DrawSource::Kind::Fixture)
                                            << " n " << n);
            const DrawSource start = kind == DrawSource::Kind::Modern
                                         ? DrawSource::modern(Pcg::seed(99))
                                         : DrawSource::fixture(FixtureDraws::seed(99));
            DrawSource listed = start;
            DrawSource single = start;
            std::vector<float> normals(n);
            std::vector<float> uniforms(n);
            // Interleave the two lists to check the hand-over between them.
            listed.fill_normal(normals);
            listed.fill_uniform(uniforms);
            for (std::size_t k = 0; k < n; ++k) {
                EXPECT_EQ(bits_of(normals[k]), bits_of(single.normal())) << k;
            }
            for (std::size_t k = 0; k < n; ++k) {
                EXPECT_EQ(bits_of(uniforms[k]), bits_of(single.uniform())) << k;
            }
            // Both end in the same state: the next draws agree.
            EXPECT_EQ(bits_of(listed.normal()), bits_of(single.normal()));
            EXPECT_EQ(bits_of(listed.uniform()), bits_of(single.uniform()));
        }
    }
    // The same holds for the plain sources, whose state is visible.
    Pcg pcg_listed = Pcg::seed(5);
    Pcg pcg_single = pcg_listed;
    FixtureDraws fixture_listed = FixtureDraws::seed(5);
    FixtureDraws fixture_single = fixture_listed;
    std::vector<float> out(33);
    pcg_listed.fill_normal(out);
    pcg_listed.fill_uniform(out);
    fixture_listed.fill_normal(out);
    fixture_listed.fill_uniform(out);
    for (std::size_t k = 0; k < out.size(); ++k) {
        pcg_single.normal();
        fixture_single.normal();
    }
    for (std::size_t k = 0; k < out.size(); ++k) {
        pcg_single.uniform();
        fixture_single.uniform();
    }
    EXPECT_EQ(pcg_listed.generator.state, pcg_single.generator.state);
    EXPECT_EQ(fixture_listed.state, fixture_single.state);
}

// The table rule evaluated with a wider exp and ln, rounded to 64 bits: this
// equals the correctly rounded 64-bit exp and ln at every argument of the
// tables (the nearest case is 0.0024 units in the last place from a tie).
double f_rule(double x) {
    return static_cast<double>(std::exp(static_cast<long double>(-(x * x) / 2.0)));
}
double f_inverse_rule(double y) {
    return std::sqrt(-2.0 * static_cast<double>(std::log(static_cast<long double>(y))));
}

TEST(RngTables, EveryEntryFollowsTheConstructionRule) {
    constexpr double area = 0.00492867323399;  // V, the common layer area
    std::array<double, 257> x{};
    x[0] = area / f_rule(ZIG_NORM_R);
    x[1] = ZIG_NORM_R;
    for (std::size_t n = 2; n <= 255; ++n) x[n] = f_inverse_rule((area / x[n - 1]) + f_rule(x[n - 1]));
    x[256] = 0.0;
    for (std::size_t n = 0; n <= 256; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(ZIG_NORM_X[n]), std::bit_cast<std::uint64_t>(x[n]));
        if (n == 3) continue;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(ZIG_NORM_F[n]),
                  std::bit_cast<std::uint64_t>(f_rule(x[n])));
    }
    // F[3] is stored one unit in the last place above the rule.
    EXPECT_EQ(ZIG_NORM_F[3], 0x1.08a1f03b0d9d7p-8);
    EXPECT_EQ(f_rule(x[3]), 0x1.08a1f03b0d9d6p-8);
    EXPECT_EQ(ZIG_NORM_F[3], 0.004037972593371872);

    // Telling rows.
    EXPECT_EQ(ZIG_NORM_X[0], 3.91075795953709);
    EXPECT_EQ(ZIG_NORM_X[1], 3.654152885361009);
    EXPECT_EQ(ZIG_NORM_X[2], 3.4492782985609645);
    EXPECT_EQ(ZIG_NORM_X[255], 0.2152418959132738);
    EXPECT_EQ(ZIG_NORM_X[256], 0.0);
    EXPECT_EQ(ZIG_NORM_F[1], 0.001260285930498598);
    EXPECT_EQ(ZIG_NORM_F[255], 0.9771017012827313);
    EXPECT_EQ(ZIG_NORM_F[256], 1.0);
    for (std::size_t n = 0; n < 256; ++n) {
        EXPECT_GT(ZIG_NORM_X[n], ZIG_NORM_X[n + 1]) << n;
        EXPECT_LT(ZIG_NORM_F[n], ZIG_NORM_F[n + 1]) << n;
    }
}

}  // namespace
