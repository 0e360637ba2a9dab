// SPDX-License-Identifier: GPL-3.0-or-later
// corvane-cli: reads the command line, plans the run, separates the songs and reports.
#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "Version.h"
#include "audio/AudioFileWriter.h"
#include "audio/DisplayText.h"
#include "audio/StandardStreams.h"
#include "cli/Batch.h"
#include "cli/CliOptions.h"
#include "cli/InputList.h"
#include "cli/OutputPlan.h"
#include "cli/Report.h"
#include "cli/Signals.h"
#include "demo/DemoSong.h"

namespace corvane::cli {

namespace {

namespace fs = std::filesystem;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr double kDemoSeconds = 30.0;
constexpr double kDemoSampleRate = 44100.0;
constexpr const char* kDemoFileName = "Corvane Demo.wav";

std::string shown(const fs::path& path) { return audio::escapeControlCharacters(path.string()); }

// After a stop: the stopped songs left nothing behind; 130 for SIGINT, 143 for SIGTERM, 141 when
// standard output was closed.
int stopped() {
    const int status = stopExitStatus();
    if (status == kExitOutputClosed)
        std::fputs("Standard output was closed; stopped, unfinished files were removed\n", stderr);
    else
        std::fputs("Interrupted; unfinished files were removed\n", stderr);
    return status;
}

int separate(const std::vector<fs::path>& inputs, const CliOptions& options) {
    Report report(options, stdout, stderr);
    runBatch(planSongs(inputs, options), options, report);
    if (stopping()) return stopped();
    report.summary();
    return report.exitStatus();
}

int separateFiles(const CliOptions& options) {
    auto inputs = collectInputs(options, stopFlag());
    if (stopping()) return stopped();
    if (const auto* why = std::get_if<std::string>(&inputs)) {
        std::fprintf(stderr, "corvane-cli: %s\n", why->c_str());
        return kExitFailed;
    }
    return separate(std::get<std::vector<fs::path>>(inputs), options);
}

int runDemo(const CliOptions& options) {
    const fs::path& folder = options.demoFolder;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        std::fprintf(stderr, "Export failed: couldn't create the folder %s: %s\n",
                     shown(folder).c_str(), ec.message().c_str());
        return kExitFailed;
    }
    const fs::path song = folder / kDemoFileName;
    {
        const dsp::StereoAudio audio = demo::makeDemoSong(kDemoSeconds, kDemoSampleRate);
        if (auto error = audio::writeWav(song, audio.l, audio.r, audio.sampleRate)) {
            std::fprintf(stderr, "Export failed: %s: %s\n", shown(song).c_str(),
                         audio::escapeControlCharacters(error->description).c_str());
            return kExitFailed;
        }
    }
    std::fprintf(stderr, "Wrote the demo song: %s\n", shown(song).c_str());
    return separate({song}, options);
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
    installStopHandlers();
    switch (options.action) {
        case CliOptions::Action::help:
            std::fputs(std::string(helpText()).c_str(), stdout);
            return 0;
        case CliOptions::Action::version:
            std::printf("corvane-cli %s\n", corvane::kVersion);
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

int main(int argc, char** argv) {
    corvane::audio::ensureStandardStreams();
    return corvane::cli::run(argc, argv);
}
