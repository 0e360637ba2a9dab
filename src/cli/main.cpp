// SPDX-License-Identifier: GPL-3.0-or-later
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "CliOptions.h"
#include "OutputPlan.h"
#include "ProgressBar.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioWriter.h"
#include "audio/WavWriter.h"
#include "demo/DemoSong.h"
#include "dsp/Mix.h"
#include "dsp/Separator.h"
#include "dsp/StemKind.h"

namespace corvane::cli {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr double kDemoSeconds = 30.0;
constexpr double kDemoSampleRate = 44100.0;
constexpr std::string_view kDemoFileName = "Corvane Demo.wav";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// "0:03", "3:25", "1:02:03".
std::string formatDuration(double seconds) {
    const long total = std::lround(std::max(seconds, 0.0));
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

// Whole numbers from 10 up; one decimal below, where the difference still tells something.
std::string formatFactor(double factor) {
    char text[32];
    std::snprintf(text, sizeof text, factor >= 10.0 ? "%.0f×" : "%.1f×", factor);
    return text;
}

const dsp::StemData& stemOf(const std::vector<dsp::StemData>& stems, dsp::StemKind kind) {
    return stems[static_cast<std::size_t>(dsp::rawValue(kind))];
}

// Creates `folder` and any missing parents; returns why not, in a line's words, on failure.
std::optional<std::string> makeFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return "couldn't create the folder " + folder.string() + ": " + ec.message();
    if (!fs::is_directory(folder, ec)) return folder.string() + " is not a folder";
    return std::nullopt;
}

// One run over the songs: separates each, prints one line per song on stderr (with a progress
// bar first when stderr is a terminal) and the summary at the end.
class Session {
public:
    explicit Session(const CliOptions& options)
        : m_options(options), m_terminal(::isatty(STDERR_FILENO) == 1) {}

    // Reads `input`, writes its outputs into `folder` (created if missing). False if it failed;
    // the reason has been printed.
    bool separateFile(const fs::path& input, const fs::path& folder) {
        const Clock::time_point start = Clock::now();
        std::optional<ProgressBar> bar;
        if (m_terminal) bar.emplace(stderr, input.string());
        bool ok = false;
        try {
            ok = run(input, planOutputs(input, folder, m_options), bar);
        } catch (const std::bad_alloc&) {
            fail(input, bar, "Not enough memory to separate that file.");
        }
        if (!ok) {
            ++m_failed;
            return false;
        }
        if (bar) bar->clear();
        std::fprintf(stderr, "%s: %s%s in %.2f s\n", input.c_str(), stemCount().c_str(),
                     m_options.instrumental ? " and the instrumental" : "", secondsSince(start));
        ++m_done;
        return true;
    }

    void printSummary() const {
        const int files = m_done + m_failed;
        const char* noun = files == 1 ? "file" : "files";
        if (m_done == 0) {
            std::fprintf(stderr, "Separated 0 of %d %s; %d failed\n", files, noun, m_failed);
            return;
        }
        const double wall = secondsSince(m_start);
        const std::string factor = formatFactor(wall > 0.0 ? m_audioSeconds / wall : 0.0);
        const std::string audio = formatDuration(m_audioSeconds);
        if (m_failed == 0)
            std::fprintf(stderr, "Separated %d %s (%s of audio) in %.2f s, %s real time\n", m_done,
                         noun, audio.c_str(), wall, factor.c_str());
        else
            std::fprintf(stderr,
                         "Separated %d of %d %s (%s of audio) in %.2f s, %s real time; %d failed\n",
                         m_done, files, noun, audio.c_str(), wall, factor.c_str(), m_failed);
    }

    int exitStatus() const { return m_failed == 0 ? 0 : kExitFailed; }

private:
    // "4 stems", "1 stem".
    std::string stemCount() const {
        const std::size_t n = m_options.stems.size();
        return std::to_string(n) + (n == 1 ? " stem" : " stems");
    }

    bool run(const fs::path& input, const std::vector<PlannedOutput>& plan,
             std::optional<ProgressBar>& bar) {
        if (bar) bar->phase("reading");
        audio::Result<dsp::StereoAudio> read = audio::readAudio(input);
        if (!read) return fail(input, bar, "Couldn't read that file: " + read.error().description);
        dsp::StereoAudio song = std::move(read).value();
        const double sampleRate = song.sampleRate;
        const double seconds =
            sampleRate > 0.0 ? static_cast<double>(song.frames()) / sampleRate : 0.0;

        // Before the separation, so a format that cannot hold the song or a folder that cannot
        // be made costs no time.
        if (auto refused = audio::checkEncodable(m_options.encode, sampleRate))
            return fail(input, bar, "Export failed: " + refused->description);
        for (const PlannedOutput& out : plan)
            if (auto why =
                    makeFolder(out.path.has_parent_path() ? out.path.parent_path() : fs::path(".")))
                return fail(input, bar, "Export failed: " + *why);

        if (bar) bar->phase("separating");
        const dsp::ProgressFn progress = [&bar](double fraction) {
            if (bar) bar->update(fraction);
        };
        dsp::SeparatorOptions separation;
        if (m_options.refined) separation.method = dsp::SeparationMethod::refined;
        std::vector<dsp::StemData> stems = dsp::Separator::separate(song, progress, separation);
        if (stems.size() != dsp::kAllStemKinds.size())
            return fail(input, bar,
                        "Couldn't read that file: The separation could not start (no FFT plan).");
        song = {};  // the stems are all that is needed now; a long song is worth freeing early

        if (bar) bar->phase("writing");
        for (const PlannedOutput& out : plan) {
            if (out.kind) {
                const dsp::StemData& stem = stemOf(stems, *out.kind);
                if (!write(input, bar, out.path, stem.l, stem.r, sampleRate)) return false;
                continue;
            }
            // The karaoke mix: everything but the vocals, summed as the mixer would; the writer
            // clips what goes past full scale.
            const dsp::StemData& drums = stemOf(stems, dsp::StemKind::drums);
            const dsp::StemData& bass = stemOf(stems, dsp::StemKind::bass);
            const dsp::StemData& other = stemOf(stems, dsp::StemKind::other);
            std::vector<float> l(drums.l.size(), 0.0f);
            std::vector<float> r(drums.r.size(), 0.0f);
            for (const dsp::StemData* stem : {&drums, &bass, &other}) {
                dsp::addGained(l, stem->l, 1.0f);
                dsp::addGained(r, stem->r, 1.0f);
            }
            if (!write(input, bar, out.path, l, r, sampleRate)) return false;
        }
        m_audioSeconds += seconds;
        return true;
    }

    bool write(const fs::path& input, std::optional<ProgressBar>& bar, const fs::path& to,
               const std::vector<float>& l, const std::vector<float>& r, double sampleRate) {
        auto writer = audio::AudioWriter::open(to, sampleRate, m_options.encode);
        std::optional<audio::Error> error;
        if (!writer)
            error = writer.error();
        else if (!(error = writer.value()->write(l, r)))
            error = writer.value()->close();
        if (error)
            return fail(input, bar, "Export failed: " + to.string() + ": " + error->description);
        return true;
    }

    // Prints "<input>: <message>" in place of the bar; always false.
    static bool fail(const fs::path& input, std::optional<ProgressBar>& bar,
                     const std::string& message) {
        if (bar) bar->clear();
        std::fprintf(stderr, "%s: %s\n", input.c_str(), message.c_str());
        return false;
    }

    const CliOptions& m_options;
    bool m_terminal;
    Clock::time_point m_start = Clock::now();
    int m_done = 0;
    int m_failed = 0;
    double m_audioSeconds = 0.0;
};

int separateFiles(const CliOptions& options) {
    Session session(options);
    for (const fs::path& input : options.files)
        session.separateFile(input, options.outputFolder.value_or(input.parent_path()));
    session.printSummary();
    return session.exitStatus();
}

int runDemo(const CliOptions& options) {
    const fs::path& folder = options.demoFolder;
    if (auto why = makeFolder(folder)) {
        std::fprintf(stderr, "Export failed: %s\n", why->c_str());
        return kExitFailed;
    }
    const fs::path song = folder / kDemoFileName;
    {
        const dsp::StereoAudio audio = demo::makeDemoSong(kDemoSeconds, kDemoSampleRate);
        if (auto error = audio::writeWav(song, audio.l, audio.r, audio.sampleRate)) {
            std::fprintf(stderr, "Export failed: %s: %s\n", song.c_str(),
                         error->description.c_str());
            return kExitFailed;
        }
    }
    std::fprintf(stderr, "Wrote the demo song: %s\n", song.c_str());
    Session session(options);
    session.separateFile(song, folder);
    session.printSummary();
    return session.exitStatus();
}

int run(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const std::variant<CliOptions, UsageError> parsed = parseArguments(args);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        std::fprintf(stderr, "corvane-cli: %s\n%sTry 'corvane-cli --help' for more information.\n",
                     error->message.c_str(), std::string(usageText()).c_str());
        return kExitUsage;
    }
    const CliOptions& options = std::get<CliOptions>(parsed);
    if (options.skipExisting || options.listFile || options.jobs != 1 || options.json) {
        std::fprintf(stderr, "corvane-cli: that option is not available yet\n");
        return kExitUsage;
    }
    switch (options.action) {
        case CliOptions::Action::help:
            std::fputs(std::string(helpText()).c_str(), stdout);
            return 0;
        case CliOptions::Action::demo:
            return runDemo(options);
        case CliOptions::Action::separate:
            break;
    }
    return separateFiles(options);
}

}  // namespace

}  // namespace corvane::cli

int main(int argc, char** argv) { return corvane::cli::run(argc, argv); }
