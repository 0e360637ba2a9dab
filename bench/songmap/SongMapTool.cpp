// SPDX-License-Identifier: GPL-3.0-or-later
// corvane-songmap: separates one song with the Standard method and reads its song map twice, from
// the stems and from the mix alone, for the song-map quality benchmark (scripts/songmap-quality).
//   corvane-songmap INPUT OUTPUT_FOLDER
// Writes OUTPUT_FOLDER/stems.json and OUTPUT_FOLDER/mix.json (the map's JSON format) and prints
// "separate_seconds", "map_stems_seconds" and "map_mix_seconds" lines ("name value unit") on
// stdout. Exit status 0 on success, 1 on a failure (one line on stderr), 2 on a usage error.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "analysis/MapFormats.h"
#include "analysis/SongMapAnalyser.h"
#include "audio/AudioFileReader.h"
#include "dsp/Separator.h"
#include "dsp/common/StemKind.h"

namespace {

namespace fs = std::filesystem;
using namespace corvane;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "corvane-songmap: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: corvane-songmap INPUT OUTPUT_FOLDER\n");
        return 2;
    }
    const fs::path input = argv[1];
    const fs::path output = argv[2];
    auto decoded = audio::readAudio(input);
    if (!decoded) {
        std::fprintf(stderr, "corvane-songmap: cannot read %s: %s\n", input.c_str(),
                     decoded.error().description.c_str());
        return 1;
    }
    const dsp::StereoAudio song = std::move(decoded).value();

    Clock::time_point start = Clock::now();
    const std::vector<dsp::StemData> stems = dsp::Separator::separate(song, nullptr);
    const double separateSeconds = since(start);
    if (stems.size() != static_cast<std::size_t>(dsp::kStemCount)) {
        std::fprintf(stderr, "corvane-songmap: separation of %s failed\n", input.c_str());
        return 1;
    }

    start = Clock::now();
    const std::optional<analysis::SongMap> fromStems =
        analysis::SongMapAnalyser::analyseStems(stems, song.sampleRate);
    const double stemsSeconds = since(start);
    start = Clock::now();
    const std::optional<analysis::SongMap> fromMix = analysis::SongMapAnalyser::analyseMix(song);
    const double mixSeconds = since(start);
    if (!fromStems || !fromMix) {
        std::fprintf(stderr, "corvane-songmap: analysis of %s failed\n", input.c_str());
        return 1;
    }

    std::error_code ec;
    fs::create_directories(output, ec);
    if (ec) {
        std::fprintf(stderr, "corvane-songmap: cannot create %s: %s\n", output.c_str(),
                     ec.message().c_str());
        return 1;
    }
    if (!writeText(output / "stems.json", analysis::toJson(*fromStems)) ||
        !writeText(output / "mix.json", analysis::toJson(*fromMix)))
        return 1;
    std::printf("separate_seconds %.4f s\nmap_stems_seconds %.4f s\nmap_mix_seconds %.4f s\n",
                separateSeconds, stemsSeconds, mixSeconds);
    return 0;
}
