// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "dsp/StemKind.h"

using namespace corvane::dsp;

TEST(StemKind, RawValuesOrderAndConstruction) {
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(id(kAllStemKinds[static_cast<std::size_t>(i)]), i);
        EXPECT_EQ(stemKindFromRaw(i), kAllStemKinds[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(stemKindFromRaw(2), StemKind::bass);
    EXPECT_FALSE(stemKindFromRaw(4).has_value());
    EXPECT_FALSE(stemKindFromRaw(-1).has_value());
}

TEST(StemKind, TextsAndColours) {
    struct Row {
        StemKind kind;
        const char* title;
        const char* subtitle;
        std::uint32_t color;
    };
    const Row rows[] = {
        {StemKind::vocals, "Vocals", "center", 0xFF2D55},
        {StemKind::drums, "Drums", "percussive", 0xFF9500},
        {StemKind::bass, "Bass", "< 150 Hz", 0x5856D6},
        {StemKind::other, "Other", "the rest", 0x30B0C7},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(title(row.kind), row.title);
        EXPECT_EQ(subtitle(row.kind), row.subtitle);
        EXPECT_EQ(color(row.kind), row.color);
    }
}
