// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velorin {

// The four octave layers, in the order used everywhere: copies, cells, toggles
// and the SysEx targets 00-03.
enum class OctaveLayerKind : std::uint8_t { minusTwo = 0, minusOne = 1, plusOne = 2, plusTwo = 3 };

inline constexpr std::array<OctaveLayerKind, 4> kAllOctaveLayerKinds = {
    OctaveLayerKind::minusTwo, OctaveLayerKind::minusOne, OctaveLayerKind::plusOne, OctaveLayerKind::plusTwo};

inline constexpr std::size_t rawValue(OctaveLayerKind kind) {
    return static_cast<std::size_t>(kind);
}

// Nothing for raw values of 4 or more (and for negative ones).
inline constexpr std::optional<OctaveLayerKind> octaveLayerKind(std::int64_t raw) {
    if (raw < 0 || raw > 3) return std::nullopt;
    return static_cast<OctaveLayerKind>(raw);
}

inline constexpr std::string_view label(OctaveLayerKind kind) {
    switch (kind) {
        case OctaveLayerKind::minusTwo:
            return "-2 OCT";
        case OctaveLayerKind::minusOne:
            return "-1 OCT";
        case OctaveLayerKind::plusOne:
            return "+1 OCT";
        case OctaveLayerKind::plusTwo:
            return "+2 OCT";
    }
    return "";
}

// Offset of the layer's copy in semitones.
inline constexpr std::int64_t semitoneOffset(OctaveLayerKind kind) {
    switch (kind) {
        case OctaveLayerKind::minusTwo:
            return -24;
        case OctaveLayerKind::minusOne:
            return -12;
        case OctaveLayerKind::plusOne:
            return 12;
        case OctaveLayerKind::plusTwo:
            return 24;
    }
    return 0;
}

}  // namespace velorin
