// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Loader.h"

#include <QScopeGuard>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <span>
#include <system_error>
#include <thread>

#include "audio/AudioDecoder.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioWriter.h"
#include "audio/DisplayText.h"
#include "dsp/StreamingSeparator.h"
#include "dsp/common/BoundedQueue.h"
#include "dsp/common/FloatBuf.h"
#include "dsp/common/Mix.h"
#include "dsp/common/ParallelFor.h"
#include "dsp/common/StemKind.h"
#include "dsp/common/StftFrames.h"
#include "model/Peaks.h"

namespace corvane::model {

// A worker's report to the main thread.
struct Loader::Report {
    enum What { decoded, progressed, failed, finished };
    What what;
    std::uint64_t generation = 0;
    double fraction = 0.0;
    QString description;
    std::shared_ptr<LoadResult> result;
};

namespace {

QString fromUtf8(const std::string& text) { return QString::fromStdString(text); }

QString outOfMemory() { return fromUtf8(std::generic_category().message(ENOMEM)); }

}  // namespace

Loader::Loader(QObject* parent) : QObject(parent), m_reports([this] { applyReports(); }) {}

Loader::~Loader() {
    // A worker may still post to this object; it must be done before the object goes. Cancelled,
    // it stops within a packet or a frame, so closing the window during a load is prompt.
    m_workers.cancelAndJoin();
}

void Loader::separateAndPost(dsp::StereoAudio audio, std::shared_ptr<LoadResult> result,
                             std::uint64_t generation, const std::atomic<bool>& cancel,
                             const Post& post) {
    const dsp::ProgressFn progress = [&post, generation](double fraction) {
        post({Report::progressed, generation, fraction, {}, nullptr});
    };
    std::vector<dsp::StemData> stems = dsp::Separator::separate(
        audio, progress, dsp::SeparatorOptions{.method = result->method, .cancel = &cancel});
    audio = {};                 // the decoded song is not needed any more
    if (cancel.load()) return;  // superseded or closing: nobody will read a report
    if (stems.size() != dsp::kStemCount)
        return post({Report::failed, generation, 0.0,
                     QStringLiteral("The separation could not be set up."), nullptr});
    postFinished(std::move(stems), std::move(result), generation, post);
}

void Loader::postFinished(std::vector<dsp::StemData> stems, std::shared_ptr<LoadResult> result,
                          std::uint64_t generation, const Post& post) {
    result->peaks = computePeaks(stems, Loader::kPeakBins);
    for (dsp::StemData& stem : stems)
        result->song.stems.push_back(std::make_shared<const dsp::StemData>(std::move(stem)));
    post({Report::finished, generation, 0.0, {}, std::move(result)});
}

namespace {

// A decoded chunk on its way from the decoding thread to the separation.
struct Chunk {
    std::vector<float> l, r;
};

}  // namespace

void Loader::load(std::filesystem::path path, dsp::SeparationMethod method) {
    const std::uint64_t generation = m_generation + 1;
    start([path = std::move(path), method, generation](const std::atomic<bool>& cancel,
                                                       const Post& post) {
        auto opened = audio::AudioDecoder::open(path, &cancel);
        if (!opened)
            return post(
                {Report::failed, generation, 0.0, fromUtf8(opened.error().description), {}});
        std::unique_ptr<audio::AudioDecoder> decoder = std::move(opened).value();
        const double rate = decoder->sampleRate();
        const std::int64_t declared = decoder->declaredFrames();

        // Decoding and separation overlap, as on the command line: the decoder runs ahead on its
        // own thread, at most a block ahead, while the separator takes the song block by block.
        // The streamed stems are the bits the whole song's separation gives.
        std::vector<dsp::StemData> stems(dsp::kStemCount);
        // On huge pages where the kernel allows: a 3-minute song's stems are a quarter of a
        // gigabyte, and faulting that in 4 KB pages cost the load as much again as separating.
        if (declared > 0)
            for (dsp::StemData& stem : stems)
                for (std::vector<float>* channel : {&stem.l, &stem.r}) {
                    channel->reserve(static_cast<std::size_t>(declared));
                    dsp::adviseHugePages(channel->data(), channel->capacity() * sizeof(float));
                }
        // Progress: frames decoded and frames separated, each half the work, posted from both
        // threads (so now and then slightly out of order).
        const auto report = [&post, generation, declared](std::int64_t frames) {
            if (declared > 0)
                post({Report::progressed,
                      generation,
                      std::min(0.99,
                               0.5 * static_cast<double>(frames) / static_cast<double>(declared)),
                      {},
                      nullptr});
        };
        std::int64_t done = 0;
        auto channel = [&](std::size_t c) -> std::vector<float>& {
            return c % 2 ? stems[c / 2].r : stems[c / 2].l;
        };
        auto sink = [&](const dsp::StemBlock& b) {
            // Room first, on this thread, where running out of memory is reported; then the
            // eight channels copied on two threads: each copy faults in fresh pages, which cost
            // as much as the copy, and the separation's workers wait meanwhile.
            for (std::size_t c = 0; c < 2 * dsp::kStemCount; ++c) {
                std::vector<float>& to = channel(c);
                if (to.capacity() < to.size() + b.channels[c].size())
                    to.reserve(std::max(2 * to.capacity(), to.size() + b.channels[c].size()));
            }
            dsp::parallelFor(static_cast<int>(2 * dsp::kStemCount), 2, [&](int i) {
                const auto c = static_cast<std::size_t>(i);
                channel(c).insert(channel(c).end(), b.channels[c].begin(), b.channels[c].end());
            });
            done += b.frames();
            report(declared + done);
        };
        auto stream = dsp::StreamingSeparator::create(
            rate, sink, dsp::SeparatorOptions{.method = method, .cancel = &cancel});
        if (!stream)
            return post({Report::failed, generation, 0.0,
                         QStringLiteral("The separation could not be set up."), nullptr});

        constexpr std::size_t kChunks =
            dsp::StreamingSeparator::kBlockFrames * dsp::kHop / audio::kChunkFrames + 2;
        dsp::BoundedQueue<Chunk> decoded(kChunks);
        std::optional<QString> readError;
        std::jthread decoding([&] {
            try {
                std::int64_t read = 0;
                while (!cancel.load()) {
                    Chunk chunk;
                    auto got = decoder->read(audio::kChunkFrames, chunk.l, chunk.r);
                    if (!got) {
                        readError = fromUtf8(got.error().description);
                        decoded.cancel();
                        return;
                    }
                    if (got.value() == 0) break;
                    if (!decoded.push(std::move(chunk))) return;
                    read += got.value();
                    report(std::min(read, declared));
                }
                decoded.end();
            } catch (const std::bad_alloc&) {
                readError = outOfMemory();
                decoded.cancel();
            }
        });
        {
            // However this ends (out of memory included), the decoder is not left waiting on a
            // full queue when the thread is joined.
            const QScopeGuard stopDecoding([&] { decoded.cancel(); });
            while (std::optional<Chunk> chunk = decoded.pop()) stream->push(chunk->l, chunk->r);
        }
        decoding.join();
        if (cancel.load()) return;  // superseded or closing: nobody will read a report
        if (readError) return post({Report::failed, generation, 0.0, *readError, {}});
        if (stream->frames() == 0)
            return post(
                {Report::failed, generation, 0.0, QStringLiteral("The file is empty."), {}});
        post({Report::decoded, generation, 0.0, {}, nullptr});
        stream->finish();
        if (cancel.load()) return;

        auto result = std::make_shared<LoadResult>();
        result->song.sampleRate = rate;
        result->song.frames = stream->frames();
        result->method = method;
        if (const std::string early = audio::earlyEndText(decoder->notes(), rate); !early.empty()) {
            result->notice = fromUtf8(early) + QStringLiteral(".");
            result->notice[0] = result->notice[0].toUpper();
        }
        postFinished(std::move(stems), std::move(result), generation, post);
    });
}

void Loader::separate(Song song, dsp::SeparationMethod method) {
    const std::uint64_t generation = m_generation + 1;
    start([song = std::move(song), method, generation](const std::atomic<bool>& cancel,
                                                       const Post& post) {
        // The stems sum back to the song, in stem order, as the mixer adds them.
        dsp::StereoAudio audio;
        audio.sampleRate = song.sampleRate;
        const auto frames = static_cast<std::size_t>(std::max<std::int64_t>(song.frames, 0));
        audio.l.assign(frames, 0.0f);
        audio.r.assign(frames, 0.0f);
        for (const auto& stem : song.stems) {
            dsp::addGained(audio.l, std::span(stem->l).first(frames), 1.0f);
            dsp::addGained(audio.r, std::span(stem->r).first(frames), 1.0f);
        }
        auto result = std::make_shared<LoadResult>();
        result->song.sampleRate = song.sampleRate;
        result->song.frames = song.frames;
        result->method = method;
        separateAndPost(std::move(audio), std::move(result), generation, cancel, post);
    });
}

void Loader::start(Work work) {
    Q_ASSERT(QThread::currentThread() == thread());
    ++m_generation;
    m_busy = true;
    m_workers.cancelAll();  // superseded: stop wasting work
    // The destructor joins the worker, so `this` outlives it.
    m_workers.start(
        [this, work = std::move(work), generation = m_generation](const std::atomic<bool>& cancel) {
            const Post post = [this](Report report) { this->post(std::move(report)); };
            // A song too long for the memory left (or no thread to be had) fails like a bad file:
            // the studio keeps what it has.
            try {
                work(cancel, post);
            } catch (const std::bad_alloc&) {
                post({Report::failed, generation, 0.0, outOfMemory(), nullptr});
            } catch (const std::system_error& error) {
                post({Report::failed, generation, 0.0, fromUtf8(error.code().message()), nullptr});
            }
        });
}

void Loader::cancel() {
    Q_ASSERT(QThread::currentThread() == thread());
    ++m_generation;  // whatever is still queued or on its way is dropped
    m_busy = false;
    m_workers.cancelAll();
}

void Loader::post(Report report) { m_reports.post(std::move(report)); }

void Loader::applyReports() {
    std::vector<Report> batch = m_reports.take();
    for (Report& report : batch) {
        // Checked for each report: a receiver may have started a newer load meanwhile.
        if (report.generation != m_generation) {
            // A load that ended just as it was superseded: its stems (gigabytes for an hour)
            // are unmapped aside, not on this thread.
            if (report.result) std::thread([dropped = std::move(report.result)] {}).detach();
            continue;
        }
        switch (report.what) {
            case Report::decoded:
                emit decoded();
                break;
            case Report::progressed:
                emit progressed(std::min(report.fraction, 1.0));
                break;
            case Report::failed:
                m_busy = false;
                emit failed(report.description);
                break;
            case Report::finished:
                m_busy = false;
                emit finished(*report.result);
                break;
        }
    }
    m_workers.reap();
}

}  // namespace corvane::model
