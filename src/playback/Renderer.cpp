// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/Renderer.h"

#include <algorithm>

namespace corvane::playback {
namespace {

// The song frame a direct mix plays at each of its n frames from `clock`: from `songFrom` on,
// jumping at each of the clock voice's wraps; -1 before its start, once it has played out and
// in a count-in gap, whose frames get their cue from `plan` (the others none).
void directSongFrames(const LoopMixer& mixer, int clockVoice, std::int64_t clock, int n,
                      std::int64_t songFrom, const CountIn& plan, std::int64_t* out,
                      ClickCue* cues) noexcept {
    std::fill(cues, cues + n, ClickCue::none);
    if (clockVoice < 0) {
        std::fill(out, out + n, std::int64_t{-1});
        return;
    }
    const Voice& v = mixer.voices[static_cast<std::size_t>(clockVoice)];
    const LoopMixer::Gap gap = mixer.gapOf(clockVoice);
    std::int64_t baseClock = std::max(clock, v.startAt);
    std::int64_t baseSong = songFrom;
    int wrap = 0;
    for (int i = 0; i < n; ++i) {
        const std::int64_t c = clock + i;
        while (wrap < mixer.wrapCount() && mixer.wrap(wrap).clock <= c) {
            baseClock = mixer.wrap(wrap).clock;
            baseSong = mixer.wrap(wrap).song;
            ++wrap;
        }
        const std::int64_t song = baseSong + (c - baseClock);
        const bool counting = c >= v.startAt && gap.contains(song);
        if (counting) cues[i] = countInCue(plan, song - gap.from);
        out[i] = c < v.startAt || song >= v.to || counting ? -1 : song;
    }
}

// The song frame heard where a direct mix reads `song`: through a count-in, the pass's start.
std::int64_t heldSong(const LoopMixer& mixer, int clockVoice, std::int64_t song) noexcept {
    const LoopMixer::Gap gap = mixer.gapOf(clockVoice);
    return gap.contains(song) ? gap.to : song;
}

}  // namespace

void Renderer::reset(int rampFrames, int loopFadeFrames, int switchFadeFrames) noexcept {
    m_rampFrames = rampFrames;
    m_loopFadeFrames = loopFadeFrames;
    m_switchFadeFrames = std::max(switchFadeFrames, 1);
    m_table = VoiceTable{};
    m_mixer.voices = {};
    m_mixer.resetCursors();
    m_mixer.snapGains(m_gains);
    m_streamHeard = false;
    m_previous = Previous::none;
    m_crossfading = false;
    m_historyCount = 0;
    m_gapPlan = CountIn{};
}

bool Renderer::sounding() const noexcept {
    if (!m_streamHeard) return false;
    if (m_table.stretched) return true;
    for (const Voice& v : m_table.voices)
        if (v.started) return true;
    return false;
}

bool Renderer::take(const VoiceTable& table) noexcept {
    // The click follows the newest word at once: it belongs to no stream.
    m_click.setBeats(table.clickBeats, table.clickBeatCount);
    m_click.setCountIn(table.countIn);
    const bool newStream = table.stream != m_table.stream;
    if (!newStream) {
        m_table = table;  // start times, the loop: what plays goes on
        return true;
    }
    if (m_crossfading) return false;  // one crossfade at a time: this one waits for its end
    if (m_previous == Previous::none && sounding()) {
        // What is heard now goes on until the new stream has sound.
        m_previousGeneration = m_table.generation;
        m_previousStream = m_table.stream;
        if (m_table.stretched) {
            // Its prepared frames, up to kTailFrames; the rest of them are dropped unheard, and
            // so are those of older streams before them. The new stream's come after.
            std::size_t old = 0;
            StampedFrame frame;
            while (m_ring.peek(frame, old) && frame.generation <= m_table.stream) ++old;
            m_tailSize = 0;
            m_tailPos = 0;
            for (std::size_t done = 0; done < old;) {
                const std::size_t got =
                    m_ring.read(m_frames.data(), std::min(old - done, m_frames.size()));
                for (std::size_t k = 0; k < got; ++k)
                    if (m_frames[k].generation == m_table.stream && m_tailSize < kTailFrames)
                        m_tail[static_cast<std::size_t>(m_tailSize++)] = m_frames[k];
                done += got;
            }
            m_previous = Previous::tail;
        } else {
            m_previousMixer = m_mixer;  // its voices, cursors and ramps, as they stand
            m_previous = Previous::direct;
        }
    }
    m_table = table;
    m_mixer.voices = {};
    m_mixer.resetCursors();
    m_mixer.snapGains(m_gains);
    m_streamHeard = false;
    return true;
}

std::uint64_t Renderer::oldestInUse() const noexcept {
    return m_previous == Previous::direct ? m_previousGeneration : m_table.generation;
}

bool Renderer::renderCurrent(int n, std::int64_t clock, std::uint64_t feederDone,
                             std::int64_t& songFrom, std::int64_t& songTo) noexcept {
    const auto count = static_cast<std::size_t>(n);
    if (!m_table.stretched) {
        m_mixer.voices = m_table.voices;
        m_mixer.loop = m_table.loop;
        m_mixer.fadeFrames = m_loopFadeFrames;
        m_mixer.gapFrames = m_table.passCountIn.beats > 0
                                ? std::max<std::int64_t>(m_table.passCountIn.length(), 1)
                                : 0;
        const int clockVoice = m_mixer.clockVoice();
        if (m_previous != Previous::none && !m_crossfading && m_table.seamless) {
            // Nothing scheduled at all (a stop): fade to silence at once. Voices scheduled but
            // not yet started, or starting later (a play() with a lead), are not sound yet.
            bool scheduled = false;
            for (const Voice& v : m_table.voices) scheduled = scheduled || v.scheduled;
            if (scheduled &&
                (clockVoice < 0 ||
                 m_table.voices[static_cast<std::size_t>(clockVoice)].startAt >= clock + n))
                return false;
        }
        if (clockVoice >= 0) songFrom = m_mixer.songFrameAt(clockVoice, clock);
        const std::int64_t first = songFrom;
        m_mixer.mix(clock, n, m_gains, m_rampFrames);
        // A count-in clicks as it was planned when it began.
        for (int w = 0; w < m_mixer.wrapCount(); ++w)
            if (m_mixer.wrap(w).gap > 0) m_gapPlan = m_table.passCountIn;
        directSongFrames(m_mixer, clockVoice, clock, n, first, m_gapPlan, m_curSong.data(),
                         m_curCue.data());
        std::copy_n(m_mixer.left().begin(), count, m_curL.begin());
        std::copy_n(m_mixer.right().begin(), count, m_curR.begin());
        if (clockVoice >= 0) {
            songFrom = heldSong(m_mixer, clockVoice, songFrom);
            songTo = heldSong(m_mixer, clockVoice, m_mixer.songFrameAt(clockVoice, clock + n));
            m_streamHeard =
                m_streamHeard ||
                m_table.voices[static_cast<std::size_t>(clockVoice)].startAt < clock + n;
        }
        return true;
    }
    // Stretched: frames made for earlier streams are stale, dropped unheard.
    std::size_t stale = 0;
    for (StampedFrame frame; m_ring.peek(frame, stale) && frame.generation < m_table.stream;)
        ++stale;
    m_ring.skip(stale);
    if (m_previous != Previous::none && !m_crossfading && m_table.seamless &&
        static_cast<int>(m_ring.readable()) < n + m_switchFadeFrames &&
        feederDone != m_table.stream)
        return false;  // Rubber Band is still starting: keep what is heard
    const std::size_t got = m_ring.read(m_frames.data(), count);
    for (std::size_t k = 0; k < got; ++k) {
        m_curL[k] = m_frames[k].l;
        m_curR[k] = m_frames[k].r;
        m_curCue[k] = m_frames[k].cue;
        m_curSong[k] = m_frames[k].cue == ClickCue::none ? m_frames[k].songFrame : -1;
    }
    std::fill(m_curSong.begin() + static_cast<std::ptrdiff_t>(got), m_curSong.begin() + n,
              std::int64_t{-1});
    std::fill(m_curCue.begin() + static_cast<std::ptrdiff_t>(got), m_curCue.begin() + n,
              ClickCue::none);
    std::fill(m_curL.begin() + static_cast<std::ptrdiff_t>(got), m_curL.begin() + n, 0.0f);
    std::fill(m_curR.begin() + static_cast<std::ptrdiff_t>(got), m_curR.begin() + n, 0.0f);
    if (got > 0) {
        // Stretched frames are stamped: the chunk stands at its last frame's.
        songFrom = m_frames[0].songFrame;
        songTo = m_frames[got - 1].songFrame;
        m_streamHeard = true;
    }
    if (got < count && feederDone == m_table.stream) {
        // Played out: the song stands at the range's end.
        std::int64_t end = 0;
        for (const Voice& v : m_table.voices) end = std::max(end, v.to);
        if (got == 0) songFrom = end;
        songTo = end;
    }
    return true;
}

void Renderer::renderPrevious(int n, std::int64_t clock, std::int64_t& songFrom,
                              std::int64_t& songTo) noexcept {
    const auto count = static_cast<std::size_t>(n);
    if (m_previous == Previous::direct) {
        const int clockVoice = m_previousMixer.clockVoice();
        if (clockVoice >= 0) songFrom = m_previousMixer.songFrameAt(clockVoice, clock);
        const std::int64_t first = songFrom;
        m_previousMixer.mix(clock, n, m_gains, m_rampFrames);
        directSongFrames(m_previousMixer, clockVoice, clock, n, first, m_gapPlan, m_prevSong.data(),
                         m_prevCue.data());
        std::copy_n(m_previousMixer.left().begin(), count, m_prevL.begin());
        std::copy_n(m_previousMixer.right().begin(), count, m_prevR.begin());
        if (clockVoice >= 0) {
            songFrom = heldSong(m_previousMixer, clockVoice, songFrom);
            songTo = heldSong(m_previousMixer, clockVoice,
                              m_previousMixer.songFrameAt(clockVoice, clock + n));
        }
        return;
    }
    int k = 0;
    if (m_tailPos < m_tailSize) songFrom = m_tail[static_cast<std::size_t>(m_tailPos)].songFrame;
    for (; k < n && m_tailPos < m_tailSize; ++k, ++m_tailPos) {
        const StampedFrame& f = m_tail[static_cast<std::size_t>(m_tailPos)];
        m_prevL[static_cast<std::size_t>(k)] = f.l;
        m_prevR[static_cast<std::size_t>(k)] = f.r;
        m_prevCue[static_cast<std::size_t>(k)] = f.cue;
        m_prevSong[static_cast<std::size_t>(k)] = f.cue == ClickCue::none ? f.songFrame : -1;
    }
    std::fill(m_prevSong.begin() + k, m_prevSong.begin() + n, std::int64_t{-1});
    std::fill(m_prevCue.begin() + k, m_prevCue.begin() + n, ClickCue::none);
    if (k > 0) songTo = m_tail[static_cast<std::size_t>(m_tailPos - 1)].songFrame;
    std::fill(m_prevL.begin() + k, m_prevL.begin() + n, 0.0f);
    std::fill(m_prevR.begin() + k, m_prevR.begin() + n, 0.0f);
}

void Renderer::render(float* out, int frames, std::int64_t blockStart,
                      std::uint64_t feederDone) noexcept {
    for (int done = 0; done < frames;) {
        const int n = std::min(LoopMixer::kChunkFrames, frames - done);
        const std::int64_t clock = blockStart + done;
        float* o = out + 2 * static_cast<std::ptrdiff_t>(done);
        std::int64_t curFrom = -1, curTo = -1, prevFrom = -1, prevTo = -1;
        const bool ready = renderCurrent(n, clock, feederDone, curFrom, curTo);
        const bool previous = m_previous != Previous::none && !ready;
        const std::int64_t* heard = previous ? m_prevSong.data() : m_curSong.data();
        const ClickCue* cues = previous ? m_prevCue.data() : m_curCue.data();
        if (m_previous == Previous::none) {
            for (int i = 0; i < n; ++i) {
                o[2 * i] = m_curL[static_cast<std::size_t>(i)];
                o[2 * i + 1] = m_curR[static_cast<std::size_t>(i)];
            }
            if (curFrom >= 0) record(clock, n, curFrom, curTo, m_table.stream);
        } else {
            renderPrevious(n, clock, prevFrom, prevTo);
            if (!ready) {
                for (int i = 0; i < n; ++i) {
                    o[2 * i] = m_prevL[static_cast<std::size_t>(i)];
                    o[2 * i + 1] = m_prevR[static_cast<std::size_t>(i)];
                }
                if (prevFrom >= 0) record(clock, n, prevFrom, prevTo, m_previousStream);
            } else {
                m_crossfading = true;
                const float step = 1.0f / static_cast<float>(m_switchFadeFrames);
                for (int i = 0; i < n; ++i) {
                    const float w = std::min(1.0f, static_cast<float>(m_fadePos + 1) * step);
                    m_fadePos = std::min(m_fadePos + 1, m_switchFadeFrames);
                    const auto k = static_cast<std::size_t>(i);
                    o[2 * i] = m_prevL[k] * (1.0f - w) + m_curL[k] * w;
                    o[2 * i + 1] = m_prevR[k] * (1.0f - w) + m_curR[k] * w;
                }
                if (curFrom >= 0) record(clock, n, curFrom, curTo, m_table.stream);
                if (m_fadePos >= m_switchFadeFrames) {
                    m_previous = Previous::none;
                    m_crossfading = false;
                    m_fadePos = 0;
                    m_previousMixer.voices = {};
                }
            }
        }
        // After the stretcher, on the song frames heard: never stretched or transposed itself.
        m_click.mix(o, n, clock, heard, cues, m_clickGain.load(std::memory_order_relaxed));
        done += n;
    }
}

void Renderer::record(std::int64_t device, int frames, std::int64_t song, std::int64_t songEnd,
                      std::uint64_t stream) noexcept {
    m_history[m_historyCount % kHistoryChunks] = Chunk{device, frames, song, songEnd, stream};
    ++m_historyCount;
}

std::optional<Renderer::Heard> Renderer::heardAt(std::int64_t device) const noexcept {
    if (m_historyCount == 0) return std::nullopt;
    const std::uint64_t kept = std::min<std::uint64_t>(m_historyCount, kHistoryChunks);
    // Newest first: the last chunk that began at or before `device` (the oldest kept otherwise).
    const Chunk* found = nullptr;
    for (std::uint64_t i = 0; i < kept; ++i) {
        const Chunk& c = m_history[(m_historyCount - 1 - i) % kHistoryChunks];
        found = &c;
        if (c.device <= device) break;
    }
    const double rate = found->songEnd >= found->song && found->frames > 0
                            ? static_cast<double>(found->songEnd - found->song) / found->frames
                            : 1.0;
    const std::int64_t into = std::clamp<std::int64_t>(device - found->device, 0, found->frames);
    // Past a wrap inside the chunk the song frame is the end's, counted back.
    const std::int64_t song =
        found->songEnd >= found->song
            ? found->song + static_cast<std::int64_t>(static_cast<double>(into) * rate)
            : found->songEnd - (found->frames - into);
    return Heard{song, found->stream, rate};
}

}  // namespace corvane::playback
