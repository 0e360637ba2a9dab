// SPDX-License-Identifier: GPL-3.0-or-later
#include <vector>

#include "BenchSupport.h"
#include "analysis/SongMapAnalyser.h"
#include "demo/DemoSong.h"
#include "dsp/Separator.h"

namespace corvane::bench {

// The song map of 200 s of separated stems (the demo song), beside the separation of the same
// song in this run: the ratio is what a busy machine moves least.
void benchSongMap() {
    note("separating and mapping 200 s of the demo song");
    const dsp::StereoAudio song = demo::makeDemoSong(kSeparateSeconds, kSampleRate);
    std::vector<dsp::StemData> stems;
    const double separate = medianSeconds([&] {
        stems = dsp::Separator::separate(song, [](double) {});
        return 0;
    });
    const double map = medianSeconds(
        [&] { return analysis::SongMapAnalyser::analyseStems(stems, song.sampleRate); });
    const double mix = medianSeconds([&] { return analysis::SongMapAnalyser::analyseMix(song); });
    printFigure("map_separate_200s_seconds", separate, "s");
    printFigure("map_200s_seconds", map, "s");
    printFigure("map_vs_separate_ratio", map / separate, "x", 2);
    printFigure("map_mix_200s_seconds", mix, "s");
}

}  // namespace corvane::bench
