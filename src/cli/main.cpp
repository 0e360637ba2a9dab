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
#include "ProgressBar.h"
#include "audio/AudioFileReader.h"
#include "audio/DisplayText.h"
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
constexpr std::string_view kInstrumentalSuffix = "Instrumental";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

using audio::formatDuration;

// A path as messages show it: one line, whatever characters its name holds.
std::string shown(const fs::path& path) { return audio::escapeControlCharacters(path.string()); }

// Whole numbers from 10 up; one decimal below, where the difference still tells something.
std::string formatFactor(double factor) {
    char text[32];
    std::snprintf(text, sizeof text, factor >= 10.0 ? "%.0f×" : "%.1f×", factor);
    return text;
}

const dsp::StemData& stemOf(const std::vector<dsp::StemData>& stems, dsp::StemKind kind) {
    return stems[static_cast<std::size_t>(dsp::rawValue(kind))];
}

// Folder + file name, without a "./" in front when the song was named without a folder.
fs::path inFolder(const fs::path& folder, std::string_view name) {
    return folder.empty() ? fs::path(name) : folder / name;
}

// Creates `folder` and any missing parents; returns why not, in a line's words, on failure.
std::optional<std::string> makeFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return "couldn't create the folder " + shown(folder) + ": " + ec.message();
    if (!fs::is_directory(folder, ec)) return shown(folder) + " is not a folder";
    return std::nullopt;
}

// One run over the songs: separates each, prints one line per song on stderr (with a progress
// bar first when stderr is a terminal) and the summary at the end.
class Session {
public:
    explicit Session(bool instrumental)
        : m_instrumental(instrumental), m_terminal(::isatty(STDERR_FILENO) == 1) {}

    // Reads `input`, writes its stems into `folder` (created if missing). False if it failed;
    // the reason has been printed.
    bool separateFile(const fs::path& input, const fs::path& folder) {
        const Clock::time_point start = Clock::now();
        std::optional<ProgressBar> bar;
        if (m_terminal) bar.emplace(stderr, shown(input));
        bool ok = false;
        std::string note;
        try {
            ok = run(input, folder, bar, note);
        } catch (const std::bad_alloc&) {
            fail(input, bar, "Not enough memory to separate that file.");
        }
        if (!ok) {
            ++m_failed;
            return false;
        }
        if (bar) bar->clear();
        if (!note.empty()) note = " (" + note + ")";
        std::fprintf(stderr, "%s: 4 stems%s%s in %.2f s\n", shown(input).c_str(),
                     m_instrumental ? " and the instrumental" : "", note.c_str(),
                     secondsSince(start));
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
    // `note` receives what the user should know about a song that was separated (it ends early).
    bool run(const fs::path& input, const fs::path& folder, std::optional<ProgressBar>& bar,
             std::string& note) {
        if (bar) bar->phase("reading");
        audio::ReadNotes notes;
        audio::Result<dsp::StereoAudio> read = audio::readAudio(input, nullptr, &notes);
        if (!read) return fail(input, bar, "Couldn't read that file: " + read.error().description);
        dsp::StereoAudio song = std::move(read).value();
        const double sampleRate = song.sampleRate;
        note = audio::earlyEndText(notes, sampleRate);
        const double seconds =
            sampleRate > 0.0 ? static_cast<double>(song.frames()) / sampleRate : 0.0;

        // Before the separation, so a folder that cannot be made costs no time.
        if (auto why = makeFolder(folder.empty() ? fs::path(".") : folder))
            return fail(input, bar, "Export failed: " + *why);

        if (bar) bar->phase("separating");
        const dsp::ProgressFn progress = [&bar](double fraction) {
            if (bar) bar->update(fraction);
        };
        std::vector<dsp::StemData> stems = dsp::Separator::separate(song, progress);
        if (stems.size() != dsp::kAllStemKinds.size())
            return fail(input, bar,
                        "Couldn't read that file: The separation could not start (no FFT plan).");
        song = {};  // the stems are all that is needed now; a long song is worth freeing early

        if (bar) bar->phase("writing");
        const std::string fileName = input.filename().string();
        for (dsp::StemKind kind : dsp::kAllStemKinds) {
            const dsp::StemData& stem = stemOf(stems, kind);
            if (!write(input, bar, inFolder(folder, audio::wavName(fileName, dsp::title(kind))),
                       stem.l, stem.r, sampleRate))
                return false;
        }
        if (m_instrumental) {
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
            if (!write(input, bar, inFolder(folder, audio::wavName(fileName, kInstrumentalSuffix)),
                       l, r, sampleRate))
                return false;
        }
        m_audioSeconds += seconds;
        return true;
    }

    bool write(const fs::path& input, std::optional<ProgressBar>& bar, const fs::path& to,
               const std::vector<float>& l, const std::vector<float>& r, double sampleRate) {
        if (auto error = audio::writeWav(to, l, r, sampleRate))
            return fail(input, bar, "Export failed: " + shown(to) + ": " + error->description);
        return true;
    }

    // Prints "<input>: <message>" in place of the bar; always false.
    static bool fail(const fs::path& input, std::optional<ProgressBar>& bar,
                     const std::string& message) {
        if (bar) bar->clear();
        std::fprintf(stderr, "%s: %s\n", shown(input).c_str(), message.c_str());
        return false;
    }

    bool m_instrumental;
    bool m_terminal;
    Clock::time_point m_start = Clock::now();
    int m_done = 0;
    int m_failed = 0;
    double m_audioSeconds = 0.0;
};

int separateFiles(const CliOptions& options) {
    Session session(options.instrumental);
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
            std::fprintf(stderr, "Export failed: %s: %s\n", shown(song).c_str(),
                         error->description.c_str());
            return kExitFailed;
        }
    }
    std::fprintf(stderr, "Wrote the demo song: %s\n", shown(song).c_str());
    Session session(options.instrumental);
    session.separateFile(song, folder);
    session.printSummary();
    return session.exitStatus();
}

int run(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const std::variant<CliOptions, UsageError> parsed = parseArguments(args);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        std::fprintf(stderr, "corvane-cli: %s\n%sTry 'corvane-cli --help' for more information.\n",
                     audio::escapeControlCharacters(error->message).c_str(),
                     std::string(usageText()).c_str());
        return kExitUsage;
    }
    const CliOptions& options = std::get<CliOptions>(parsed);
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
