// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/StemKind.h"

namespace corvane::dsp {

namespace {
struct KindInfo {
    std::string_view title;
    std::string_view subtitle;
    std::uint32_t color;
};

constexpr std::array<KindInfo, kStemCount> kInfo = {{
    {"Vocals", "center", 0xFF2D55},
    {"Drums", "percussive", 0xFF9500},
    {"Bass", "< 150 Hz", 0x5856D6},
    {"Other", "the rest", 0x30B0C7},
}};
}  // namespace

std::string_view title(StemKind kind) { return kInfo[static_cast<std::size_t>(kind)].title; }
std::string_view subtitle(StemKind kind) { return kInfo[static_cast<std::size_t>(kind)].subtitle; }
std::uint32_t color(StemKind kind) { return kInfo[static_cast<std::size_t>(kind)].color; }

}  // namespace corvane::dsp
