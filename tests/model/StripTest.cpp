// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "model/Strip.h"

using namespace corvane::model;

TEST(Strip, DefaultsAreFourStripsInStemOrderAtFullVolume) {
    const auto strips = defaultStrips();
    ASSERT_EQ(strips.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(strips[i].id(), i);
        EXPECT_EQ(strips[i].volume, 1.0f);
        EXPECT_FALSE(strips[i].solo);
        EXPECT_FALSE(strips[i].mute);
    }
}

TEST(Strip, EffectiveGainRule) {
    struct Case {
        const char* name;
        std::vector<std::tuple<float, bool, bool>> strips;  // volume, solo, mute
        std::vector<float> gains;
    };
    const Case cases[] = {
        {"nothing soloed or muted: each at its volume",
         {{1.0f, false, false}, {0.5f, false, false}, {1.5f, false, false}, {0.0f, false, false}},
         {1.0f, 0.5f, 1.5f, 0.0f}},
        {"one solo at 0.5 silences the rest",
         {{1, false, false}, {0.5f, true, false}, {1, false, false}, {1, false, false}},
         {0, 0.5f, 0, 0}},
        {"two solos play at their own volumes",
         {{1, false, false}, {0.7f, true, false}, {1, false, false}, {1.2f, true, false}},
         {0, 0.7f, 0, 1.2f}},
        {"soloed and muted is silent, and its solo still silences the others",
         {{1, true, true}, {1, false, false}, {1, false, false}, {1, false, false}},
         {0, 0, 0, 0}},
        {"muted at volume 1 without solo is silent",
         {{1, false, true}, {1, false, false}, {1, false, false}, {1, false, false}},
         {0, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        std::vector<Strip> strips = defaultStrips();
        for (std::size_t i = 0; i < 4; ++i)
            std::tie(strips[i].volume, strips[i].solo, strips[i].mute) = c.strips[i];
        EXPECT_EQ(effectiveGains(strips), c.gains) << c.name;
    }
    EXPECT_TRUE(effectiveGains({}).empty());
}
