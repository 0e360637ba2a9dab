// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audio/AudioFormat.h"
#include "audio/Error.h"
#include "cli/OutputPlan.h"
#include "dsp/Separator.h"

namespace corvane::cli {

// What became of one song.
struct SongOutcome {
    enum class Status { done, skipped, failed, cancelled };
    Status status = Status::failed;
    std::string error;  // failed: the line after "<input>: "
    double audioSeconds = 0.0;
    std::string note;  // done: what the user should know ("the file ends early, at 0:05 of 0:10")

    static SongOutcome with(Status status, std::string error = {}) {
        SongOutcome r;
        r.status = status;
        r.error = std::move(error);
        return r;
    }
};

// A song's samples, block by block: the decoder, or a test's own source.
class SongSource {
public:
    virtual ~SongSource() = default;
    virtual double sampleRate() const = 0;
    // Appends up to maxFrames frames; how many, 0 at the end, or the error.
    virtual audio::Result<std::int64_t> read(std::int64_t maxFrames, std::vector<float>& l,
                                             std::vector<float>& r) = 0;
    // The length the file states, for progress; 0 if unknown. Read before the first read().
    virtual std::int64_t declaredFrames() const = 0;
    // After the end: what the user should know about the read ("the file ends early, ..."), or
    // nothing.
    virtual std::string note() const = 0;
};

// One output file being encoded: AudioWriter, or a test's own that fails on purpose.
class StemOutput {
public:
    virtual ~StemOutput() = default;
    virtual std::optional<audio::Error> write(std::span<const float> l,
                                              std::span<const float> r) = 0;
    virtual std::optional<audio::Error> close() = 0;
};
using OpenOutput = std::function<audio::Result<std::unique_ptr<StemOutput>>(
    int fd, double sampleRate, const audio::EncodeSettings& settings)>;

struct StemJobSettings {
    audio::EncodeSettings encode;
    dsp::SeparationMethod method = dsp::SeparationMethod::standard;
    int workers = 1;  // the separation's threads (the writing shares them)
    // Set from any thread to stop within a block; the outcome is then "cancelled".
    const std::atomic<bool>* cancel = nullptr;
    // The fraction done, 0 to 1, on the calling thread.
    std::function<void(double)> progress;
    OpenOutput openOutput;  // empty: AudioWriter
};

// One song, decoded, separated and written in blocks, so memory stays bounded whatever its
// length; the stems are the bits the whole-song separation gives. The decoder runs ahead on its
// own thread through a bounded queue; each separated block is written straight from the
// separator's buffers, the outputs shared among the separation's workers. Every output is written
// through one audio::StagedFiles set, renamed over its final name only when all are complete:
// a failure at any block, a decoder error, a cancel or a kill leaves the older files as they were
// and no temporary behind.
//
// Blocks until done; the calling thread feeds the separator and calls `progress`.
SongOutcome separateSong(const std::filesystem::path& input,
                         const std::vector<PlannedOutput>& outputs,
                         const StemJobSettings& settings);

// The same from a source already open.
SongOutcome separateSource(SongSource& source, const std::vector<PlannedOutput>& outputs,
                           const StemJobSettings& settings);

}  // namespace corvane::cli
