// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/common/StemKind.h"

namespace corvane::dsp {

namespace {
struct KindInfo {
    std::string_view title;
    std::string_view subtitle;
};

constexpr std::array<KindInfo, kStemCount> kInfo = {{
    {"Vocals", "center"},
    {"Drums", "percussive"},
    {"Bass", "< 150 Hz"},
    {"Other", "the rest"},
}};
}  // namespace

std::string_view title(StemKind kind) { return kInfo[static_cast<std::size_t>(kind)].title; }
std::string_view subtitle(StemKind kind) { return kInfo[static_cast<std::size_t>(kind)].subtitle; }

}  // namespace corvane::dsp
