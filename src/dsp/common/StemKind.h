// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::dsp {

// The four stems, in the order the separator returns them: stems[rawValue(kind)].
enum class StemKind : int { vocals = 0, drums = 1, bass = 2, other = 3 };

inline constexpr int kStemCount = 4;
inline constexpr std::array<StemKind, kStemCount> kAllStemKinds = {
    StemKind::vocals, StemKind::drums, StemKind::bass, StemKind::other};

constexpr int rawValue(StemKind kind) { return static_cast<int>(kind); }
constexpr int id(StemKind kind) { return rawValue(kind); }

// Absent for anything outside 0 to 3.
constexpr std::optional<StemKind> stemKindFromRaw(int raw) {
    if (raw < 0 || raw >= kStemCount) return std::nullopt;
    return static_cast<StemKind>(raw);
}

// Display name: the strip's title and the stem word in exported file names.
std::string_view title(StemKind kind);
// One line under the title saying how the stem is made.
std::string_view subtitle(StemKind kind);

}  // namespace corvane::dsp
