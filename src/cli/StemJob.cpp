// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/StemJob.h"

#include <array>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "analysis/MapFormats.h"
#include "analysis/SongMapAnalyser.h"
#include "audio/AudioDecoder.h"
#include "audio/AudioFileWriter.h"
#include "audio/AudioWriter.h"
#include "audio/DisplayText.h"
#include "audio/StagedFiles.h"
#include "dsp/common/BoundedQueue.h"
#include "dsp/StreamingSeparator.h"
#include "dsp/common/Mix.h"
#include "dsp/common/ParallelFor.h"
#include "dsp/common/StftFrames.h"

namespace corvane::cli {

namespace {

namespace fs = std::filesystem;
using Status = SongOutcome::Status;

std::string shown(const fs::path& path) { return audio::escapeControlCharacters(path.string()); }

class DecoderSource : public SongSource {
public:
    explicit DecoderSource(std::unique_ptr<audio::AudioDecoder> decoder)
        : m_decoder(std::move(decoder)) {}
    double sampleRate() const override { return m_decoder->sampleRate(); }
    audio::Result<std::int64_t> read(std::int64_t maxFrames, std::vector<float>& l,
                                     std::vector<float>& r) override {
        return m_decoder->read(maxFrames, l, r);
    }
    std::int64_t declaredFrames() const override { return m_decoder->declaredFrames(); }
    std::string note() const override {
        return audio::earlyEndText(m_decoder->notes(), m_decoder->sampleRate());
    }

private:
    std::unique_ptr<audio::AudioDecoder> m_decoder;
};

class WriterOutput : public StemOutput {
public:
    explicit WriterOutput(std::unique_ptr<audio::AudioWriter> writer)
        : m_writer(std::move(writer)) {}
    std::optional<audio::Error> write(std::span<const float> l,
                                      std::span<const float> r) override {
        return m_writer->write(l, r);
    }
    std::optional<audio::Error> close() override { return m_writer->close(); }

private:
    std::unique_ptr<audio::AudioWriter> m_writer;
};

audio::Result<std::unique_ptr<StemOutput>> openWriter(int fd, double sampleRate,
                                                       const audio::EncodeSettings& settings) {
    auto opened = audio::AudioWriter::open(fd, sampleRate, settings);
    if (!opened) return opened.error();
    return std::unique_ptr<StemOutput>(new WriterOutput(std::move(opened).value()));
}

// Creates `folder` and any missing parents; why not, in a line's words, on failure.
std::optional<std::string> makeFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return "couldn't create the folder " + shown(folder) + ": " + ec.message();
    if (!fs::is_directory(folder, ec)) return shown(folder) + " is not a folder";
    return std::nullopt;
}

bool cancelled(const StemJobSettings& settings) {
    return settings.cancel && settings.cancel->load(std::memory_order_relaxed);
}

class Job {
public:
    Job(SongSource& source, const std::vector<PlannedOutput>& outputs,
        const StemJobSettings& settings)
        : m_source(source), m_outputs(outputs), m_settings(settings) {}

    SongOutcome run();

private:
    SongOutcome failed(std::string why) const {
        if (cancelled(m_settings)) return SongOutcome::with(Status::cancelled);
        return SongOutcome::with(Status::failed, std::move(why));
    }
    // The first failure of any stage; the others then stop at their next block.
    void fail(std::string why) {
        const std::lock_guard lock(m_failureMutex);
        if (m_failure.empty()) m_failure = std::move(why);
        m_failed = true;
    }
    std::optional<std::string> prepare(double sampleRate);
    void writeBlock(const dsp::StemBlock& b);
    std::optional<std::string> writeMap();

    SongSource& m_source;
    const std::vector<PlannedOutput>& m_outputs;
    const StemJobSettings& m_settings;
    audio::StagedFiles m_staged;  // removes the temporaries on every early return
    // One per output, in output order; none for the map, which is written whole at the end.
    std::vector<std::unique_ptr<StemOutput>> m_writers;
    std::vector<int> m_fds;
    // Reads the song map from the separated blocks as they pass, when a map is asked for.
    std::unique_ptr<analysis::SongMapAnalyser> m_analyser;
    // The instrumental of one block, per output that wants it (kept across blocks).
    std::vector<std::array<std::vector<float>, 2>> m_mixes;
    // Each output's failure in the last block: the first in output order is reported, so the
    // message does not depend on which thread got there first.
    std::vector<std::optional<audio::Error>> m_errors;
    std::mutex m_failureMutex;
    std::string m_failure;
    std::atomic<bool> m_failed{false};
};

// Whether the chosen format can hold a song at `sampleRate`, the folders made and every output's
// temporary created: checked before any separation, so what cannot be written costs no time.
std::optional<std::string> Job::prepare(double sampleRate) {
    if (auto refused = audio::checkEncodable(m_settings.encode, sampleRate))
        return refused->description;
    for (const PlannedOutput& out : m_outputs)
        if (auto why = makeFolder(out.path.has_parent_path() ? out.path.parent_path() : "."))
            return why;
    const OpenOutput& open = m_settings.openOutput ? m_settings.openOutput : openWriter;
    for (const PlannedOutput& out : m_outputs) {
        auto file = m_staged.create(out.path);
        if (!file) return shown(out.path) + ": " + file.error().description;
        m_fds.push_back(file.value().fd);
        if (out.map) {
            m_writers.push_back(nullptr);
            if (m_analyser) continue;
            analysis::AnalysisOptions options;
            options.workers = m_settings.workers;
            options.cancel = m_settings.cancel;
            m_analyser = analysis::SongMapAnalyser::create(
                sampleRate, analysis::SongMapAnalyser::Input::stems, options);
            if (!m_analyser) return shown(out.path) + ": the analysis could not start (no FFT plan)";
            continue;
        }
        auto writer = open(file.value().fd, sampleRate, m_settings.encode);
        if (!writer) return shown(out.path) + ": " + writer.error().description;
        m_writers.push_back(std::move(writer).value());
    }
    m_mixes.resize(m_outputs.size());
    m_errors.resize(m_outputs.size());
    return std::nullopt;
}

void Job::writeBlock(const dsp::StemBlock& b) {
    auto writeOutput = [&](std::size_t i) {
        std::optional<audio::Error>& error = m_errors[i];
        if (!m_writers[i]) return;  // the map
        if (const std::optional<dsp::StemKind> kind = m_outputs[i].kind) {
            const auto s = static_cast<std::size_t>(dsp::rawValue(*kind));
            error = m_writers[i]->write(b.channels[2 * s], b.channels[2 * s + 1]);
            return;
        }
        auto& [l, r] = m_mixes[i];
        l.assign(b.channels[0].size(), 0.0f);
        r.assign(b.channels[0].size(), 0.0f);
        for (dsp::StemKind part : {dsp::StemKind::drums, dsp::StemKind::bass, dsp::StemKind::other}) {
            const auto s = static_cast<std::size_t>(dsp::rawValue(part));
            dsp::addGained(l, b.channels[2 * s], 1.0f);
            dsp::addGained(r, b.channels[2 * s + 1], 1.0f);
        }
        error = m_writers[i]->write(l, r);
    };
    const int threads =
        std::max(1, std::min(m_settings.workers, static_cast<int>(m_writers.size())));
    dsp::parallelFor(static_cast<int>(m_writers.size()), threads,
                     [&](int i) { writeOutput(static_cast<std::size_t>(i)); });
    for (std::size_t i = 0; i < m_errors.size() && !m_failed; ++i)
        if (m_errors[i])
            fail("Export failed: " + shown(m_outputs[i].path) + ": " + m_errors[i]->description);
    if (m_analyser && !m_failed) m_analyser->push(b);
}

// The map of the whole song, once every block has passed, into its staged file.
std::optional<std::string> Job::writeMap() {
    if (!m_analyser) return std::nullopt;
    const std::optional<analysis::SongMap> map = m_analyser->finish();
    if (!map) return std::string();  // cancelled
    const std::string json = analysis::toJson(*map);
    for (std::size_t i = 0; i < m_outputs.size(); ++i)
        if (m_outputs[i].map)
            if (auto error = audio::writeText(m_fds[i], json))
                return "Export failed: " + shown(m_outputs[i].path) + ": " + error->description;
    return std::nullopt;
}

SongOutcome Job::run() {
    const double sampleRate = m_source.sampleRate();
    if (auto why = prepare(sampleRate)) return failed("Export failed: " + *why);

    struct Chunk {
        std::vector<float> l, r;
    };
    const double expected = static_cast<double>(m_source.declaredFrames());
    // Room for more than a block of decoded input, so the decoder keeps going while a block is
    // separated and written.
    constexpr std::size_t kDecodedChunks =
        dsp::StreamingSeparator::kBlockFrames * dsp::kHop / audio::kChunkFrames + 2;
    dsp::BoundedQueue<Chunk> decoded(kDecodedChunks);
    // Used chunks go back to the decoder, so their memory is faulted in once.
    dsp::BoundedQueue<Chunk> spareChunks(kDecodedChunks + 2);

    std::jthread decoding([&] {
        while (!cancelled(m_settings)) {
            Chunk chunk = spareChunks.tryPop().value_or(Chunk{});
            chunk.l.clear();
            chunk.r.clear();
            auto got = m_source.read(audio::kChunkFrames, chunk.l, chunk.r);
            if (!got) {
                fail("Couldn't read that file: " + got.error().description);
                decoded.cancel();
                return;
            }
            if (got.value() == 0) break;
            if (!decoded.push(std::move(chunk))) return;
        }
        decoded.end();
    });

    std::int64_t done = 0;
    auto sink = [&](const dsp::StemBlock& b) {
        if (m_failed || cancelled(m_settings)) return;
        writeBlock(b);
        if (m_failed) decoded.cancel();
        done += b.frames();
        if (m_settings.progress && expected > 0.0)
            m_settings.progress(static_cast<double>(done) / expected);
    };
    dsp::SeparatorOptions separation;
    separation.method = m_settings.method;
    separation.workers = m_settings.workers;
    separation.cancel = m_settings.cancel;
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
    if (!m_failed && !cancelled(m_settings)) stream->finish();
    if (m_settings.progress) m_settings.progress(1.0);
    if (cancelled(m_settings)) return SongOutcome::with(Status::cancelled);
    if (m_failed) {
        const std::lock_guard lock(m_failureMutex);
        return failed(m_failure);
    }
    if (stream->frames() == 0) return failed("Couldn't read that file: The file is empty.");

    for (std::size_t i = 0; i < m_writers.size(); ++i)
        if (m_writers[i])
            if (auto error = m_writers[i]->close())
                return failed("Export failed: " + shown(m_outputs[i].path) + ": " +
                              error->description);
    if (auto why = writeMap()) return failed(*why);
    // All complete: only now do they replace older files, together.
    if (cancelled(m_settings)) return SongOutcome::with(Status::cancelled);
    if (auto error = m_staged.commit())
        return failed("Export failed: " + audio::escapeControlCharacters(error->description));
    SongOutcome outcome = SongOutcome::with(Status::done);
    outcome.audioSeconds = static_cast<double>(stream->frames()) / sampleRate;
    outcome.note = m_source.note();
    return outcome;
}

}  // namespace

SongOutcome separateSource(SongSource& source, const std::vector<PlannedOutput>& outputs,
                           const StemJobSettings& settings) {
    try {
        return Job(source, outputs, settings).run();
    } catch (const std::bad_alloc&) {
        return SongOutcome::with(Status::failed, "Not enough memory to separate that file.");
    }
}

SongOutcome separateSong(const fs::path& input, const std::vector<PlannedOutput>& outputs,
                         const StemJobSettings& settings) {
    auto opened = audio::AudioDecoder::open(input, settings.cancel);
    if (!opened) {
        if (cancelled(settings)) return SongOutcome::with(Status::cancelled);
        return SongOutcome::with(Status::failed,
                                 "Couldn't read that file: " + opened.error().description);
    }
    DecoderSource source(std::move(opened).value());
    return separateSource(source, outputs, settings);
}

}  // namespace corvane::cli
