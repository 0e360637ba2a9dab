// SPDX-License-Identifier: GPL-3.0-or-later
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include "BoundedQueue.h"
#include "CliOptions.h"
#include "OutputPlan.h"
#include "ProgressBar.h"
#include "Version.h"
#include "audio/AudioDecoder.h"
#include "audio/AudioWriter.h"
#include "audio/DisplayText.h"
#include "audio/StagedFiles.h"
#include "audio/WavWriter.h"
#include "demo/DemoSong.h"
#include "dsp/Separator.h"
#include "dsp/StreamingSeparator.h"
#include "dsp/common/Mix.h"
#include "dsp/common/ParallelFor.h"
#include "dsp/common/StemKind.h"
#include "dsp/common/StftFrames.h"

namespace corvane::cli {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSignal = 128;  // + the signal's number: 130 for SIGINT, 143 for SIGTERM

// Set by SIGINT or SIGTERM. Every stage polls it (the reader per packet, the separator per
// frame, the writer per block), so the run unwinds in a fraction of a second and each song's
// temporary files are removed on the way out.
std::atomic<bool> g_stop{false};
volatile sig_atomic_t g_signal = 0;

extern "C" void onStopSignal(int number) {
    g_signal = number;
    g_stop.store(true, std::memory_order_relaxed);
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A file-size limit (ulimit -f) then fails the write with "File too large", which is
    // reported and cleaned up like a full disk, instead of killing the process mid-file.
    signal(SIGXFSZ, SIG_IGN);
}

bool stopping() { return g_stop.load(std::memory_order_relaxed); }

// A JSON string literal: quotes, backslashes and control characters escaped; other bytes
// (UTF-8 included) as they are.
std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

constexpr double kDemoSeconds = 30.0;
constexpr double kDemoSampleRate = 44100.0;
constexpr std::string_view kDemoFileName = "Corvane Demo.wav";

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

// Creates `folder` and any missing parents; returns why not, in a line's words, on failure.
std::optional<std::string> makeFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return "couldn't create the folder " + shown(folder) + ": " + ec.message();
    if (!fs::is_directory(folder, ec)) return shown(folder) + " is not a folder";
    return std::nullopt;
}

// What became of one song.
struct SongResult {
    enum class Status { done, skipped, failed, cancelled };
    Status status = Status::failed;
    std::string error;  // failed: the line after "<input>: "
    double audioSeconds = 0.0;
    std::string note;  // done: what the user should know ("the file ends early, at 0:05 of 0:10")

    static SongResult with(Status status, std::string error = {}) {
        SongResult r;
        r.status = status;
        r.error = std::move(error);
        return r;
    }
};

// One run over the songs: separates each (several at once with --jobs), prints one line per
// song on stderr (with a progress bar first when one song runs at a time on a terminal), a
// JSON object per song on stdout with --json, and the summary at the end.
// Songs run on worker threads; the counters and the output lines are under m_mutex.
class Session {
public:
    explicit Session(const CliOptions& options)
        : m_options(options),
          m_terminal(::isatty(STDERR_FILENO) == 1 && options.jobs == 1 && !options.json) {}

    void runAll(const std::vector<SongPlan>& songs) {
        const int threads = std::min<int>(m_options.jobs, static_cast<int>(songs.size()));
        // Songs run at once share the cores: each separation gets its share of the workers.
        m_workersPerSong = std::max(1, dsp::defaultWorkerCount() / std::max(threads, 1));
        std::atomic<std::size_t> next{0};
        auto worker = [&] {
            for (std::size_t i; !stopping() && (i = next.fetch_add(1)) < songs.size();)
                separateSong(songs[i]);
        };
        if (threads <= 1) {
            worker();
            return;
        }
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) pool.emplace_back(worker);
        for (std::thread& t : pool) t.join();
    }

    void separateSong(const SongPlan& song) {
        const Clock::time_point start = Clock::now();
        std::optional<ProgressBar> bar;
        if (m_terminal) bar.emplace(stderr, shown(song.input));
        SongResult result;
        if (song.refusal) {
            result.error = *song.refusal;
        } else if (m_options.skipExisting && allExist(song.outputs)) {
            result.status = SongResult::Status::skipped;
        } else {
            try {
                result = runStreamed(song, bar);
            } catch (const std::bad_alloc&) {
                result = SongResult::with(SongResult::Status::failed,
                                          "Not enough memory to separate that file.");
            }
        }
        if (bar) bar->clear();
        report(song, result, secondsSince(start));
    }

    void printSummary() const {
        const int files = m_done + m_failed;
        const char* noun = files == 1 ? "file" : "files";
        const std::string skipped =
            m_skipped == 0 ? "" : " (" + std::to_string(m_skipped) + " already done)";
        if (m_done == 0) {
            std::fprintf(stderr, "Separated 0 of %d %s; %d failed\n", files, noun, m_failed);
            return;
        }
        const double wall = secondsSince(m_start);
        const std::string factor = formatFactor(wall > 0.0 ? m_audioSeconds / wall : 0.0);
        const std::string audio = formatDuration(m_audioSeconds);
        if (m_failed == 0)
            std::fprintf(stderr, "Separated %d %s%s (%s of audio) in %.2f s, %s real time\n",
                         m_done, noun, skipped.c_str(), audio.c_str(), wall, factor.c_str());
        else
            std::fprintf(stderr,
                         "Separated %d of %d %s%s (%s of audio) in %.2f s, %s real time; %d "
                         "failed\n",
                         m_done, files, noun, skipped.c_str(), audio.c_str(), wall, factor.c_str(),
                         m_failed);
    }

    int exitStatus() const { return m_failed == 0 ? 0 : kExitFailed; }

private:
    static bool allExist(const std::vector<PlannedOutput>& outputs) {
        std::error_code ec;
        return std::all_of(outputs.begin(), outputs.end(),
                           [&](const PlannedOutput& o) { return fs::is_regular_file(o.path, ec); });
    }

    // "4 stems", "1 stem".
    std::string stemCount() const {
        const std::size_t n = m_options.stems.size();
        return std::to_string(n) + (n == 1 ? " stem" : " stems");
    }

    void report(const SongPlan& song, const SongResult& result, double seconds) {
        using Status = SongResult::Status;
        if (result.status == Status::cancelled) return;  // the run's last line says it
        const std::lock_guard lock(m_mutex);
        const std::string name = shown(song.input);
        const char* input = name.c_str();
        switch (result.status) {
            case Status::done:
                ++m_done;
                m_audioSeconds += result.audioSeconds;
                std::fprintf(stderr, "%s: %s%s%s in %.2f s\n", input, stemCount().c_str(),
                             m_options.instrumental ? " and the instrumental" : "",
                             result.note.empty() ? "" : (" (" + result.note + ")").c_str(),
                             seconds);
                break;
            case Status::skipped:
                ++m_done;
                ++m_skipped;
                std::fprintf(stderr, "%s: skipped, its files exist\n", input);
                break;
            default:
                ++m_failed;
                std::fprintf(stderr, "%s: %s\n", input,
                             audio::escapeControlCharacters(result.error).c_str());
                break;
        }
        std::fflush(stderr);
        if (!m_options.json) return;
        std::string line = "{\"input\":" + jsonString(song.input.string()) + ",\"status\":";
        line += result.status == Status::done      ? "\"done\""
                : result.status == Status::skipped ? "\"skipped\""
                                                   : "\"failed\"";
        line += ",\"outputs\":[";
        if (result.status != Status::failed)
            for (std::size_t i = 0; i < song.outputs.size(); ++i)
                line += (i ? "," : "") + jsonString(song.outputs[i].path.string());
        char number[32];
        std::snprintf(number, sizeof number, "%.3f", seconds);
        line += std::string("],\"seconds\":") + number + ",\"error\":";
        line += result.status == Status::failed ? jsonString(result.error) : "null";
        line += "}\n";
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }

    SongResult failed(std::string why) const {
        if (stopping()) return SongResult::with(SongResult::Status::cancelled);
        return SongResult::with(SongResult::Status::failed, std::move(why));
    }

    // Whether the chosen format can hold a song at `sampleRate`, and the outputs' folders made:
    // checked before any separation, so what cannot be written costs no time. Why not, if not.
    std::optional<std::string> prepareOutputs(const SongPlan& song, double sampleRate) const {
        if (auto refused = audio::checkEncodable(m_options.encode, sampleRate))
            return refused->description;
        for (const PlannedOutput& out : song.outputs)
            if (auto why =
                    makeFolder(out.path.has_parent_path() ? out.path.parent_path() : fs::path(".")))
                return why;
        return std::nullopt;
    }

    // Decodes, separates and writes in blocks, so memory stays bounded whatever the song's length;
    // the stems are the bits the whole-song separation gives. The decoder runs ahead on its own
    // thread; each separated block is written straight from the separator's buffers, the outputs
    // shared among the separation's workers: the work between the two cores stays balanced, and
    // nothing is copied or allocated per block (on this machine a page fault per fresh 4 kB had
    // cost a third of the run).
    SongResult runStreamed(const SongPlan& song, std::optional<ProgressBar>& bar) {
        const fs::path& input = song.input;
        if (bar) bar->phase("separating");
        auto opened = audio::AudioDecoder::open(input, &g_stop);
        if (!opened) return failed("Couldn't read that file: " + opened.error().description);
        audio::AudioDecoder& decoder = *opened.value();
        const double sampleRate = decoder.sampleRate();
        if (auto why = prepareOutputs(song, sampleRate)) return failed("Export failed: " + *why);

        audio::StagedFiles staged;  // removes the temporary files on every early return
        std::vector<std::unique_ptr<audio::AudioWriter>> writers;
        for (const PlannedOutput& out : song.outputs) {
            auto writer = audio::AudioWriter::open(staged.stage(out.path), sampleRate,
                                                   m_options.encode, {.createNew = true});
            if (!writer)
                return failed("Export failed: " + shown(out.path) + ": " +
                              writer.error().description);
            writers.push_back(std::move(writer).value());
        }

        // The first failure of any stage; the others then stop at their next block.
        std::mutex failureMutex;
        std::string failure;
        std::atomic<bool> failedAlready{false};
        auto fail = [&](std::string why) {
            const std::lock_guard lock(failureMutex);
            if (failure.empty()) failure = std::move(why);
            failedAlready = true;
        };

        struct Chunk {
            std::vector<float> l, r;
        };
        // Read before the decoding thread owns the decoder.
        const double expected = static_cast<double>(decoder.notes().declaredFrames);
        // Room for more than a block of decoded input, so the decoder keeps going while a block
        // is separated and written.
        constexpr std::int64_t kChunkFrames = 65536;
        constexpr std::size_t kDecodedChunks =
            dsp::StreamingSeparator::kBlockFrames * dsp::kHop / kChunkFrames + 2;
        BoundedQueue<Chunk> decoded(kDecodedChunks);
        // Used chunks go back to the decoder, so their memory is faulted in once.
        BoundedQueue<Chunk> spareChunks(kDecodedChunks + 2);

        std::jthread decoding([&] {
            while (!stopping()) {
                Chunk chunk = spareChunks.tryPop().value_or(Chunk{});
                chunk.l.clear();
                chunk.r.clear();
                auto got = decoder.read(kChunkFrames, chunk.l, chunk.r);
                if (!got) {
                    fail("Couldn't read that file: " + got.error().description);
                    break;
                }
                if (got.value() == 0) break;
                if (!decoded.push(std::move(chunk))) return;
            }
            decoded.end();
        });

        // The instrumental of one block, per output that wants it (kept across blocks).
        std::vector<std::array<std::vector<float>, 2>> mixes(song.outputs.size());
        // Each output's failure in the last block: the first in output order is reported, so
        // the message does not depend on which thread got there first.
        std::vector<std::optional<audio::Error>> errors(song.outputs.size());
        auto writeOutput = [&](std::size_t i, const dsp::StemBlock& b) {
            std::optional<audio::Error>& error = errors[i];
            if (const std::optional<dsp::StemKind> kind = song.outputs[i].kind) {
                const auto s = static_cast<std::size_t>(dsp::rawValue(*kind));
                error = writers[i]->write(b.channels[2 * s], b.channels[2 * s + 1]);
            } else {
                auto& [l, r] = mixes[i];
                l.assign(b.channels[0].size(), 0.0f);
                r.assign(b.channels[0].size(), 0.0f);
                for (dsp::StemKind part :
                     {dsp::StemKind::drums, dsp::StemKind::bass, dsp::StemKind::other}) {
                    const auto s = static_cast<std::size_t>(dsp::rawValue(part));
                    dsp::addGained(l, b.channels[2 * s], 1.0f);
                    dsp::addGained(r, b.channels[2 * s + 1], 1.0f);
                }
                error = writers[i]->write(l, r);
            }
        };

        // Separation, on this thread and the separator's workers; the writing too.
        const int writeThreads =
            std::max(1, std::min(m_workersPerSong, static_cast<int>(writers.size())));
        std::int64_t done = 0;
        auto sink = [&](const dsp::StemBlock& b) {
            if (failedAlready || stopping()) return;
            dsp::parallelFor(static_cast<int>(writers.size()), writeThreads,
                             [&](int i) { writeOutput(static_cast<std::size_t>(i), b); });
            for (std::size_t i = 0; i < errors.size() && !failedAlready; ++i)
                if (errors[i])
                    fail("Export failed: " + shown(song.outputs[i].path) + ": " +
                         errors[i]->description);
            if (failedAlready) decoded.cancel();
            done += b.frames();
            if (bar && expected > 0.0) bar->update(static_cast<double>(done) / expected);
        };
        dsp::SeparatorOptions separation;
        if (m_options.refined) separation.method = dsp::SeparationMethod::refined;
        separation.workers = m_workersPerSong;
        separation.cancel = &g_stop;
        auto stream = dsp::StreamingSeparator::create(sampleRate, sink, separation);
        if (!stream) {
            decoded.cancel();
            return failed("Couldn't read that file: The separation could not start (no FFT plan).");
        }
        while (std::optional<Chunk> chunk = decoded.pop()) {
            stream->push(chunk->l, chunk->r);
            spareChunks.push(std::move(*chunk));
        }
        decoding.join();
        if (!failedAlready && !stopping()) stream->finish();
        if (bar) bar->update(1.0);
        if (stopping()) return SongResult::with(SongResult::Status::cancelled);
        if (failedAlready) {
            const std::lock_guard lock(failureMutex);
            return failed(failure);
        }
        if (stream->frames() == 0) return failed("Couldn't read that file: The file is empty.");

        for (std::size_t i = 0; i < writers.size(); ++i)
            if (auto error = writers[i]->close())
                return failed("Export failed: " + shown(song.outputs[i].path) + ": " +
                              error->description);
        // All complete: only now do they replace older files, together.
        if (stopping()) return SongResult::with(SongResult::Status::cancelled);
        if (auto error = staged.commit()) return failed("Export failed: " + error->description);
        SongResult result = SongResult::with(SongResult::Status::done);
        result.audioSeconds = static_cast<double>(stream->frames()) / sampleRate;
        result.note = audio::earlyEndText(decoder.notes(), sampleRate);
        return result;
    }

    const CliOptions& m_options;
    bool m_terminal;
    int m_workersPerSong = 0;
    Clock::time_point m_start = Clock::now();
    std::mutex m_mutex;
    int m_done = 0;  // skipped songs included
    int m_skipped = 0;
    int m_failed = 0;
    double m_audioSeconds = 0.0;
};

// The songs of the command line, then those of the --from list. The reason on failure.
std::optional<std::string> collectInputs(const CliOptions& options, std::vector<fs::path>& inputs) {
    inputs = options.files;
    if (!options.listFile) return std::nullopt;
    const fs::path& list = *options.listFile;
    std::string text;
    if (list == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::error_code ec;
        if (fs::is_directory(list, ec))
            return "couldn't read the list " + shown(list) + ": Is a directory";
        std::ifstream in(list, std::ios::binary);
        if (!in)
            return "couldn't read the list " + shown(list) + ": " +
                   std::generic_category().message(errno);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    for (fs::path& p : splitList(text, options.nulSeparated)) inputs.push_back(std::move(p));
    if (inputs.empty()) return "the list " + shown(list) + " names no file";
    return std::nullopt;
}

// After an interruption: the stopped songs left nothing behind; 130 for SIGINT, 143 for SIGTERM.
int interrupted() {
    std::fprintf(stderr, "Interrupted; unfinished files were removed\n");
    return kExitSignal + static_cast<int>(g_signal);
}

int separateFiles(const CliOptions& options) {
    std::vector<fs::path> inputs;
    if (auto why = collectInputs(options, inputs)) {
        std::fprintf(stderr, "corvane-cli: %s\n", why->c_str());
        return kExitFailed;
    }
    Session session(options);
    session.runAll(planSongs(inputs, options));
    if (stopping()) return interrupted();
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
    Session session(options);
    session.runAll(planSongs({song}, options));
    if (stopping()) return interrupted();
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
    installSignalHandlers();
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

int main(int argc, char** argv) { return corvane::cli::run(argc, argv); }
