// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/LoopMixer.h"

#include <algorithm>
#include <span>

#include "dsp/common/Mix.h"

namespace corvane::playback {

void LoopMixer::snapGains(const Gains& gains) noexcept {
    for (std::size_t s = 0; s < m_ramps.size(); ++s) {
        const float g = gains[s].load(std::memory_order_relaxed);
        m_ramps[s] = Ramp{g, g, 0.0f, 0, false};
    }
}

int LoopMixer::clockVoice() const noexcept {
    for (std::size_t v = 0; v < voices.size(); ++v)
        if (voices[v].started) return static_cast<int>(v);
    return -1;
}

bool LoopMixer::loops(const Voice& voice, const Cursor& cursor) const noexcept {
    return loop.enabled && loop.start < loop.end && loop.end <= voice.to && !cursor.finished;
}

LoopMixer::Cursor& LoopMixer::cursorOf(std::size_t v) noexcept {
    Cursor& cursor = m_cursors[v];
    // Started again at another time: the voice plays from its `from` again.
    if (!cursor.valid || cursor.startAt != voices[v].startAt)
        cursor = Cursor{voices[v].startAt, 0, true, false};
    return cursor;
}

std::int64_t LoopMixer::songFrameAt(int v, std::int64_t clock) const noexcept {
    const Voice& voice = voices[static_cast<std::size_t>(v)];
    if (!voice.started || clock <= voice.startAt) return voice.from;
    const Cursor& cursor = m_cursors[static_cast<std::size_t>(v)];
    const bool current = cursor.valid && cursor.startAt == voice.startAt;
    // mix() wraps as soon as a fade's last frame is out, so the shift is up to date.
    return std::min(voice.from + (clock - voice.startAt) + (current ? cursor.shift : 0), voice.to);
}

LoopMixer::Gap LoopMixer::gapOf(int v) const noexcept {
    const Voice& voice = voices[static_cast<std::size_t>(v)];
    const Cursor& cursor = m_cursors[static_cast<std::size_t>(v)];
    return cursor.valid && cursor.startAt == voice.startAt ? cursor.gap : Gap{};
}

std::int64_t LoopMixer::framesLeft(std::int64_t clock) const noexcept {
    std::int64_t left = 0;
    for (std::size_t v = 0; v < voices.size(); ++v) {
        const Voice& voice = voices[v];
        const Cursor& cursor = m_cursors[v];
        if (!voice.started || cursor.finished) continue;
        const std::int64_t at = std::max(clock, voice.startAt);
        const std::int64_t song = songFrameAt(static_cast<int>(v), at);
        if (song >= voice.to) continue;
        if (cursor.fading || (loops(voice, cursor) && song <= loop.end)) return kForever;
        left = std::max(left, (at - clock) + (voice.to - song));
    }
    return left;
}

void LoopMixer::mix(std::int64_t chunkStart, int n, const Gains& gains, int rampFrames) noexcept {
    const std::span<float> mixL(m_l.data(), static_cast<std::size_t>(n));
    const std::span<float> mixR(m_r.data(), static_cast<std::size_t>(n));
    std::fill(mixL.begin(), mixL.end(), 0.0f);
    std::fill(mixR.begin(), mixR.end(), 0.0f);
    m_wrapCount = 0;
    const int clock = clockVoice();
    const std::int64_t chunkEnd = chunkStart + n;
    // The fade never takes more than half the loop, so what fades in lies inside the loop.
    const std::int64_t fade =
        std::clamp<std::int64_t>((loop.end - loop.start) / 2, 0, std::max(fadeFrames, 0));
    const std::int64_t fadeFrom = loop.end - fade;  // where a voice begins to fade
    for (std::size_t s = 0; s < voices.size(); ++s) {
        const Voice& voice = voices[s];
        Ramp& ramp = m_ramps[s];
        Cursor& cursor = cursorOf(s);
        // From clock frame `pos` on, the voice reads song frame `song`; nothing more is heard in
        // this chunk once pos reaches its end or the voice has finished.
        std::int64_t pos = chunkEnd;
        std::int64_t song = 0;
        // Begins a fade at `song` if the loop asks for one, and wraps a fade that is over.
        auto follow = [&] {
            if (cursor.inGap && song == cursor.gap.to) cursor.inGap = false;
            if (!cursor.fading && loops(voice, cursor) && song >= fadeFrom && song <= loop.end) {
                cursor.fading = true;
                cursor.fadeStart = song;
                cursor.fadeEnd = std::min(std::max(loop.end, song + fade), voice.to);
                cursor.fadeGap =
                    gapFrames > 0 ? std::max(gapFrames, cursor.fadeEnd - cursor.fadeStart) : 0;
                cursor.fadeShift = loop.end - loop.start + cursor.fadeGap;
            }
            if (cursor.fading && song == cursor.fadeEnd) {
                cursor.fading = false;
                cursor.shift -= cursor.fadeShift;
                song -= cursor.fadeShift;
                if (cursor.fadeGap > 0) {
                    cursor.inGap = true;
                    cursor.gap = Gap{song, song + cursor.fadeGap};
                    cursor.gapFadeFrom = cursor.gap.to - (cursor.fadeEnd - cursor.fadeStart);
                }
                if (static_cast<int>(s) == clock && m_wrapCount < kMaxWraps)
                    m_wraps[static_cast<std::size_t>(m_wrapCount++)] =
                        Wrap{pos, song, cursor.fadeGap};
            }
            if (song >= voice.to) cursor.finished = true;
        };
        if (voice.started && !cursor.finished) {
            pos = std::max(chunkStart, voice.startAt);
            song = voice.from + (pos - voice.startAt) + cursor.shift;
            if (pos < chunkEnd) follow();
        }
        const bool sounding = pos < chunkEnd && !cursor.finished;
        const float target = gains[s].load(std::memory_order_relaxed);
        if (!ramp.sounding || !sounding) {
            // Silent until now: the new gain holds from the first sample heard.
            ramp = Ramp{target, target, 0.0f, 0, false};
        } else if (target != ramp.target) {
            ramp.target = target;
            ramp.step = (target - ramp.current) / static_cast<float>(rampFrames);
            ramp.remaining = rampFrames;
        }
        ramp.sounding = sounding;

        while (pos < chunkEnd && !cursor.finished) {
            // One piece: straight from the stem, or a stretch of a fade (built in m_fadeL/m_fadeR).
            auto count = static_cast<std::size_t>(std::min(chunkEnd - pos, voice.to - song));
            std::span<const float> inL;
            std::span<const float> inR;
            if (cursor.inGap) {
                // Silence, then what leads into the start fading in as in a crossfade.
                count = std::min(count, static_cast<std::size_t>(cursor.gap.to - song));
                const float scale =
                    1.0f / static_cast<float>(cursor.gap.to - cursor.gapFadeFrom + 1);
                for (std::size_t k = 0; k < count; ++k) {
                    const std::int64_t in = song + static_cast<std::int64_t>(k);
                    const bool heard = in >= cursor.gapFadeFrom && in >= 0;
                    const float w = static_cast<float>(in - cursor.gapFadeFrom + 1) * scale;
                    m_fadeL[k] = heard ? voice.l[in] * w : 0.0f;
                    m_fadeR[k] = heard ? voice.r[in] * w : 0.0f;
                }
                inL = std::span<const float>(m_fadeL.data(), count);
                inR = std::span<const float>(m_fadeR.data(), count);
            } else if (cursor.fading) {
                count = std::min(count, static_cast<std::size_t>(cursor.fadeEnd - song));
                const float scale =
                    1.0f / static_cast<float>(cursor.fadeEnd - cursor.fadeStart + 1);
                for (std::size_t k = 0; k < count; ++k) {
                    const std::int64_t out = song + static_cast<std::int64_t>(k);
                    const std::int64_t in = out - cursor.fadeShift;  // before the song: silence
                    const float w = static_cast<float>(out - cursor.fadeStart + 1) * scale;
                    // Into a gap the end fades to silence.
                    const bool into = cursor.fadeGap == 0 && in >= 0;
                    const float l0 = into ? voice.l[in] : 0.0f;
                    const float r0 = into ? voice.r[in] : 0.0f;
                    m_fadeL[k] = voice.l[out] * (1.0f - w) + l0 * w;
                    m_fadeR[k] = voice.r[out] * (1.0f - w) + r0 * w;
                }
                inL = std::span<const float>(m_fadeL.data(), count);
                inR = std::span<const float>(m_fadeR.data(), count);
            } else {
                if (loops(voice, cursor) && song < fadeFrom)
                    count = std::min(count, static_cast<std::size_t>(fadeFrom - song));
                inL = std::span<const float>(voice.l + song, count);
                inR = std::span<const float>(voice.r + song, count);
            }
            std::span<float> outL = mixL.subspan(static_cast<std::size_t>(pos - chunkStart), count);
            std::span<float> outR = mixR.subspan(static_cast<std::size_t>(pos - chunkStart), count);
            pos += static_cast<std::int64_t>(count);
            song += static_cast<std::int64_t>(count);
            follow();

            if (ramp.remaining > 0) {
                const auto ramped = std::min(count, static_cast<std::size_t>(ramp.remaining));
                dsp::addRamped(outL.first(ramped), inL, ramp.current, ramp.step);
                ramp.current = dsp::addRamped(outR.first(ramped), inR, ramp.current, ramp.step);
                ramp.remaining -= static_cast<int>(ramped);
                if (ramp.remaining == 0) ramp.current = ramp.target;  // land exactly
                inL = inL.subspan(ramped);
                inR = inR.subspan(ramped);
                outL = outL.subspan(ramped);
                outR = outR.subspan(ramped);
            }
            // A silent stem adds nothing, as in the exported mix.
            if (outL.empty() || ramp.current == 0.0f) continue;
            dsp::addGained(outL, inL, ramp.current);
            dsp::addGained(outR, inR, ramp.current);
        }
    }
}

}  // namespace corvane::playback
