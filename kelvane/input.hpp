// The slip model (segments diced into subfaults), one receiver, and the
// preparation of the layered velocity model.
//
// Grid order: subfault (i, j), counted from 1 with i along strike and j down
// dip, is at list position (j − 1) × along_strike_count + (i − 1): the list
// holds the down-dip rows one after another, top row first, each row running
// from i = 1 upwards. Every per-subfault table of the engine uses the same
// positions.
//
// Nothing here checks values apart from the grid size of a segment: NaN,
// zero and negative numbers are stored unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "kelvane/state.hpp"

namespace kelvane::input {

// A subfault's slip.
struct Slip {
    float cm;  // slip (cm)

    friend bool operator==(const Slip&, const Slip&) = default;
};

struct Subfault {
    Slip slip;
    float rise_time_s;       // rise time (s); carried and copied, read by nothing
    float rupture_time_s;    // rupture time (s): delays the subfault's contribution to a record
    float stress_drop_bars;  // stress drop (bars)

    friend bool operator==(const Subfault&, const Subfault&) = default;
};

// The pairs (i, j) of a grid, counted from 1, in one of its two walking
// orders. A light range: no allocation, usable inside a station run; its
// iterators hold the grid shape by value and outlive the range.
class GridOrder {
public:
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::pair<std::size_t, std::size_t>;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = value_type;

        iterator() = default;
        // (i, j) of the current position.
        value_type operator*() const {
            if (strike_outer_) {
                return {(position_ / down_dip_count_) + 1, (position_ % down_dip_count_) + 1};
            }
            return {(position_ % along_strike_count_) + 1, (position_ / along_strike_count_) + 1};
        }
        iterator& operator++() {
            ++position_;
            return *this;
        }
        iterator operator++(int) {
            iterator before = *this;
            ++position_;
            return before;
        }
        friend bool operator==(const iterator& a, const iterator& b) {
            return a.position_ == b.position_;
        }

    private:
        friend class GridOrder;
        iterator(const GridOrder& order, std::size_t position)
            : along_strike_count_(order.along_strike_count_),
              down_dip_count_(order.down_dip_count_),
              strike_outer_(order.strike_outer_),
              position_(position) {}
        std::size_t along_strike_count_ = 0;
        std::size_t down_dip_count_ = 0;
        bool strike_outer_ = false;
        std::size_t position_ = 0;
    };

    // `strike_outer` false: j outer, i inner (list order); true: i outer, j inner.
    GridOrder(std::size_t along_strike_count, std::size_t down_dip_count, bool strike_outer)
        : along_strike_count_(along_strike_count),
          down_dip_count_(down_dip_count),
          strike_outer_(strike_outer) {}

    // along_strike_count × down_dip_count (never overflows for a built segment).
    std::size_t size() const { return along_strike_count_ * down_dip_count_; }
    iterator begin() const { return iterator(*this, 0); }
    iterator end() const { return iterator(*this, size()); }

private:
    std::size_t along_strike_count_;
    std::size_t down_dip_count_;
    bool strike_outer_;
};

// The subfault list cut into consecutive rows of `row_length` entries, top
// row first: row r (from 0) holds the subfaults with j = r + 1. Views only
// whole rows, so it never reaches past the list; its iterators hold the view
// by value.
class DepthRows {
public:
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::span<const Subfault>;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = value_type;

        iterator() = default;
        value_type operator*() const { return all_.subspan(row_ * row_length_, row_length_); }
        iterator& operator++() {
            ++row_;
            return *this;
        }
        iterator operator++(int) {
            iterator before = *this;
            ++row_;
            return before;
        }
        friend bool operator==(const iterator& a, const iterator& b) { return a.row_ == b.row_; }

    private:
        friend class DepthRows;
        iterator(std::span<const Subfault> all, std::size_t row_length, std::size_t row)
            : all_(all), row_length_(row_length), row_(row) {}
        std::span<const Subfault> all_;
        std::size_t row_length_ = 1;
        std::size_t row_ = 0;
    };

    // `row_length` ≥ 1 (the segment checks it before making the view).
    DepthRows(std::span<const Subfault> all, std::size_t row_length)
        : all_(all), row_length_(row_length) {}

    // The number of whole rows.
    std::size_t size() const { return all_.size() / row_length_; }
    // Row `r` (from 0); `r` < size().
    std::span<const Subfault> operator[](std::size_t r) const {
        return all_.subspan(r * row_length_, row_length_);
    }
    iterator begin() const { return iterator(all_, row_length_, 0); }
    iterator end() const { return iterator(all_, row_length_, size()); }

private:
    std::span<const Subfault> all_;
    std::size_t row_length_;
};

template <std::uint32_t Set>
class SegmentBuilderState;

// One planar fault segment. Only `SegmentBuilder` makes one, and it holds
// exactly along_strike_count × down_dip_count subfaults in grid order. The
// fields are open for reading; an owner that changes the counts or the list
// of a segment breaks that invariant, so nothing in the engine does.
class Segment {
public:
    float fault_lon_deg;               // longitude of the reference point (degrees)
    float fault_lat_deg;               // latitude of the reference point (degrees)
    std::size_t along_strike_count;    // subfault columns along strike
    std::size_t down_dip_count;        // subfault rows down dip
    float subfault_length_km;          // length of one subfault along strike (km)
    float subfault_width_km;           // width of one subfault down dip (km)
    float strike_deg;                  // strike (degrees)
    float dip_deg;                     // dip (degrees)
    float rake_deg;                    // rake (degrees)
    float top_depth_km;                // depth of the top edge (km)
    float hypocentre_along_strike_km;  // carried and copied, read by nothing (km)
    float hypocentre_down_dip_km;      // hypocentre distance down dip from the top edge (km)
    // Half the segment's length: the reference point lies on the top edge this
    // far along strike from the end where column 1 lies (km).
    float along_strike_offset_km;
    std::vector<Subfault> subfaults;   // the grid, in grid order

    // The length of `subfaults`.
    std::size_t subfault_total() const;

    // List position of subfault (i, j) = (along_strike, down_dip), counted
    // from 1. Faults with "subfault ({},{}) is outside the {}x{} grid" unless
    // 1 ≤ i ≤ along_strike_count and 1 ≤ j ≤ down_dip_count.
    std::size_t grid_index(std::size_t along_strike, std::size_t down_dip) const;

    // A copy of subfault (along_strike, down_dip); faults as `grid_index`.
    Subfault at(std::size_t along_strike, std::size_t down_dip) const;

    // The rows of the grid, top row first. Faults when along_strike_count is 0.
    DepthRows depth_rows() const;

    // (1,1), (2,1), …, (along_strike_count,1), (1,2), …: list order.
    GridOrder depth_major() const;

    // (1,1), (1,2), …, (1,down_dip_count), (2,1), …: the order in which a
    // station run adds subfault contributions to its record.
    GridOrder strike_major() const;

private:
    template <std::uint32_t>
    friend class SegmentBuilderState;

    // Faults when along_strike_count × down_dip_count overflows, and with
    // "subfault grid holds {} entries, expected {}x{}" when the list does not
    // hold that many entries. Derives `along_strike_offset_km`.
    Segment(float fault_lon_deg, float fault_lat_deg, std::size_t along_strike_count,
            std::size_t down_dip_count, float subfault_length_km, float subfault_width_km,
            float strike_deg, float dip_deg, float rake_deg, float top_depth_km,
            float hypocentre_along_strike_km, float hypocentre_down_dip_km,
            std::vector<Subfault> subfaults);
};

namespace detail {

// The thirteen values a segment is built from, as collected by the builder.
struct SegmentArgs {
    float fault_lon_deg = 0.0f;
    float fault_lat_deg = 0.0f;
    std::size_t along_strike_count = 0;
    std::size_t down_dip_count = 0;
    float subfault_length_km = 0.0f;
    float subfault_width_km = 0.0f;
    float strike_deg = 0.0f;
    float dip_deg = 0.0f;
    float rake_deg = 0.0f;
    float top_depth_km = 0.0f;
    float hypocentre_along_strike_km = 0.0f;
    float hypocentre_down_dip_km = 0.0f;
    std::vector<Subfault> subfaults;
};

// One bit per setter of the builder.
enum SegmentField : std::uint32_t {
    set_fault_lon_deg = 1u << 0,
    set_fault_lat_deg = 1u << 1,
    set_along_strike_count = 1u << 2,
    set_down_dip_count = 1u << 3,
    set_subfault_length_km = 1u << 4,
    set_subfault_width_km = 1u << 5,
    set_strike_deg = 1u << 6,
    set_dip_deg = 1u << 7,
    set_rake_deg = 1u << 8,
    set_top_depth_km = 1u << 9,
    set_hypocentre_along_strike_km = 1u << 10,
    set_hypocentre_down_dip_km = 1u << 11,
    set_subfaults = 1u << 12,
    set_all = (1u << 13) - 1u,
};

}  // namespace detail

// The named-argument builder of a segment. `Set` records which setters have
// been called; each setter exists only while its bit is clear, and `build`
// only once all thirteen are set, so an incomplete or doubled call chain does
// not compile. Use as a chain on a temporary:
//
//   Segment s = SegmentBuilder{}.fault_lon_deg(..)....subfaults(std::move(list)).build();
template <std::uint32_t Set>
class SegmentBuilderState {
public:
    SegmentBuilderState()
        requires(Set == 0)
    = default;

#define KELVANE_SEGMENT_SETTER(name, type)                                           \
    SegmentBuilderState<Set | detail::set_##name> name(type value) &&               \
        requires((Set & detail::set_##name) == 0)                                   \
    {                                                                                \
        args_.name = std::move(value);                                               \
        return SegmentBuilderState<Set | detail::set_##name>(std::move(args_));     \
    }

    KELVANE_SEGMENT_SETTER(fault_lon_deg, float)
    KELVANE_SEGMENT_SETTER(fault_lat_deg, float)
    KELVANE_SEGMENT_SETTER(along_strike_count, std::size_t)
    KELVANE_SEGMENT_SETTER(down_dip_count, std::size_t)
    KELVANE_SEGMENT_SETTER(subfault_length_km, float)
    KELVANE_SEGMENT_SETTER(subfault_width_km, float)
    KELVANE_SEGMENT_SETTER(strike_deg, float)
    KELVANE_SEGMENT_SETTER(dip_deg, float)
    KELVANE_SEGMENT_SETTER(rake_deg, float)
    KELVANE_SEGMENT_SETTER(top_depth_km, float)
    KELVANE_SEGMENT_SETTER(hypocentre_along_strike_km, float)
    KELVANE_SEGMENT_SETTER(hypocentre_down_dip_km, float)
    KELVANE_SEGMENT_SETTER(subfaults, std::vector<Subfault>)
#undef KELVANE_SEGMENT_SETTER

    // Passes the thirteen values, in field order, to the segment constructor
    // (which faults on a grid of the wrong size).
    Segment build() &&
        requires(Set == detail::set_all)
    {
        return Segment(args_.fault_lon_deg, args_.fault_lat_deg, args_.along_strike_count,
                       args_.down_dip_count, args_.subfault_length_km, args_.subfault_width_km,
                       args_.strike_deg, args_.dip_deg, args_.rake_deg, args_.top_depth_km,
                       args_.hypocentre_along_strike_km, args_.hypocentre_down_dip_km,
                       std::move(args_.subfaults));
    }

private:
    template <std::uint32_t>
    friend class SegmentBuilderState;

    explicit SegmentBuilderState(detail::SegmentArgs args) : args_(std::move(args)) {}

    detail::SegmentArgs args_;
};

// The empty builder: the only way to make a `Segment`.
using SegmentBuilder = SegmentBuilderState<0>;

// The slip model.
struct StochModel {
    std::vector<Segment> segments;   // in the caller's order; indices count from 0
    std::size_t subfault_count;      // total number of subfaults over the segments
    float max_hypocentre_depth_km;   // deepest hypocentre depth over the segments, never below 0 (km)

    // Sums the subfault counts (an overflow faults) and finds the deepest
    // hypocentre sin(dip) × hypocentre_down_dip_km + top_depth_km, starting
    // from 0 (a NaN depth never replaces the current value). The segments are
    // stored unchanged, in their order.
    static StochModel create(std::vector<Segment> segments);
};

// One receiver. Its 64-bit seed travels beside the record, not in it.
struct Station {
    float longitude;   // degrees
    float latitude;    // degrees
    float kappa_s;     // near-surface attenuation (s)
    float q_exponent;  // frequency exponent of the path Q (1)
};

// Prepares a caller's layers (top first): fills in each depth, cuts the stack
// at the first layer whose shear speed reaches `vs_moho_km_s` (km/s; that
// layer becomes the half-space and ends the model) and gives the last layer
// thickness 0. Errors: no layers; the first layer already at the Moho speed.
// The caller's list is not changed.
std::variant<std::vector<state::InputLayer>, state::ModelError> build_velocity_model(
    std::span<const state::InputLayer> layers, double vs_moho_km_s);

// A prepared model's first layer gets the air layer when it is deeper than
// this (km, compared in 32 bits) ...
inline constexpr float air_layer_min_depth_km = 0.001f;
// ... and its P speed is above this (km/s, compared in 64 bits).
inline constexpr double air_layer_min_vp_km_s = 0.01;

// Puts a 0.1 m air layer in front of a prepared model whose first layer is
// deeper than 0.001 km and has a P speed above 0.01 km/s; otherwise returns
// the list unchanged. Faults on an empty list.
std::vector<state::InputLayer> insert_air_layer(std::vector<state::InputLayer> vmod_in);

}  // namespace kelvane::input
