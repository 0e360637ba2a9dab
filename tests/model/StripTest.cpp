// SPDX-License-Identifier: GPL-3.0-or-later
#include "ModelTestSupport.h"

using namespace corvane;
using namespace corvane::model;

TEST(Strip, DefaultsAndTheGainRule) {
    const auto defaults = defaultStrips();
    ASSERT_EQ(defaults.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(defaults[i], (Strip{*dsp::stemKindFromRaw(i), 1.0f}));

    // Volume, solo, mute of each strip; the gains heard: each at its volume; two solos at theirs,
    // silencing the rest; mute wins over solo, whose solo still silences the rest.
    const std::pair<test::Settings, std::vector<float>> cases[] = {
        {{{1, 0, 0}, {.5f, 0, 0}, {1.5f, 0, 0}, {0, 0, 0}}, {1, .5f, 1.5f, 0}},
        {{{1, 0, 0}, {.5f, 1, 0}, {1, 0, 0}, {1, 0, 0}}, {0, .5f, 0, 0}},
        {{{1, 0, 0}, {.7f, 1, 0}, {1, 0, 0}, {1.2f, 1, 0}}, {0, .7f, 0, 1.2f}},
        {{{1, 1, 1}, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}}, {0, 0, 0, 0}},
        {{{1, 0, 1}, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}}, {0, 1, 1, 1}}};
    for (const auto& [settings, gains] : cases) {
        std::vector<Strip> strips = defaults;
        for (std::size_t i = 0; i < 4; ++i)
            std::tie(strips[i].volume, strips[i].solo, strips[i].mute) = settings[i];
        EXPECT_EQ(effectiveGains(strips), gains);
    }
    EXPECT_TRUE(effectiveGains({}).empty());
}
