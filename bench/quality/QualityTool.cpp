// SPDX-License-Identifier: GPL-3.0-or-later
// corvane-quality: separates one song with a chosen method and writes its four stems, for the
// separation-quality benchmark (scripts/quality). Prints "separate_seconds <value> s" on stdout:
// the separation alone, without decoding or writing.
//   corvane-quality [--method standard|refined] INPUT OUTPUT_FOLDER
// Writes OUTPUT_FOLDER/vocals.wav, drums.wav, bass.wav, other.wav (24-bit). Exit status 0 on
// success, 1 on a failure (one line on stderr), 2 on a usage error.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "dsp/Separator.h"
#include "dsp/common/StemKind.h"

namespace {

namespace fs = std::filesystem;
using namespace corvane;

// Lower-case file names: the scorer looks for exactly these.
constexpr const char* kStemFileNames[dsp::kStemCount] = {"vocals.wav", "drums.wav", "bass.wav",
                                                         "other.wav"};

int usage(const char* why) {
    std::fprintf(stderr,
                 "corvane-quality: %s\n"
                 "Usage: corvane-quality [--method standard|refined] INPUT OUTPUT_FOLDER\n",
                 why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    dsp::SeparationMethod method = dsp::SeparationMethod::standard;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--method") {
            if (i + 1 >= argc) return usage("option '--method' needs standard or refined");
            const std::string_view value = argv[++i];
            if (value == "standard") {
                method = dsp::SeparationMethod::standard;
            } else if (value == "refined") {
                method = dsp::SeparationMethod::refined;
            } else {
                return usage("unknown method (choose standard or refined)");
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage("unknown option");
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.size() != 2) return usage("needs one INPUT and one OUTPUT_FOLDER");
    const fs::path input = positional[0];
    const fs::path output = positional[1];

    auto decoded = audio::readAudio(input);
    if (!decoded) {
        std::fprintf(stderr, "corvane-quality: cannot read %s: %s\n", input.c_str(),
                     decoded.error().description.c_str());
        return 1;
    }
    const dsp::StereoAudio song = std::move(decoded).value();

    const auto start = std::chrono::steady_clock::now();
    const std::vector<dsp::StemData> stems =
        dsp::Separator::separate(song, nullptr, {.method = method});
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (stems.size() != static_cast<std::size_t>(dsp::kStemCount)) {
        std::fprintf(stderr, "corvane-quality: separation of %s failed (no FFT plan)\n",
                     input.c_str());
        return 1;
    }

    std::error_code ec;
    fs::create_directories(output, ec);
    if (ec) {
        std::fprintf(stderr, "corvane-quality: cannot create %s: %s\n", output.c_str(),
                     ec.message().c_str());
        return 1;
    }
    for (int k = 0; k < dsp::kStemCount; ++k) {
        const fs::path to = output / kStemFileNames[k];
        if (auto error = audio::writeWav(to, stems[k].l, stems[k].r, song.sampleRate)) {
            std::fprintf(stderr, "corvane-quality: cannot write %s: %s\n", to.c_str(),
                         error->description.c_str());
            return 1;
        }
    }
    std::printf("separate_seconds %.4f s\n", took.count());
    return 0;
}
