// The fixture source: the normal and list draws.
#include "kelvane/rng/fixture.hpp"

namespace kelvane::rng::fixture {

float FixtureDraws::normal() noexcept {
    return ziggurat_normal([this]() noexcept { return next_word(); });
}

void FixtureDraws::fill_normal(std::span<float> out) noexcept {
    // Work on a local copy of the counter so the loop keeps it in a register.
    FixtureDraws local = *this;
    for (float& slot : out) {
        slot = ziggurat_normal([&local]() noexcept { return local.next_word(); });
    }
    *this = local;
}

void FixtureDraws::fill_uniform(std::span<float> out) noexcept {
    // The counter after k words is the start plus k x GOLDEN_GAMMA, so every
    // slot's word is independent of the others and the loop can run several
    // slots at a time; slot k takes word k + 1, as one-at-a-time draws would.
    const std::uint64_t start = state;
    const std::size_t count = out.size();
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t word =
            sim::mix64(start + ((static_cast<std::uint64_t>(k) + 1u) * GOLDEN_GAMMA));
        out[k] = unit_interval_from(static_cast<std::uint32_t>(word >> 32));
    }
    state = start + (static_cast<std::uint64_t>(count) * GOLDEN_GAMMA);
}

}  // namespace kelvane::rng::fixture
