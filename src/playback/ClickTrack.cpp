// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/ClickTrack.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace corvane::playback {

CountIn planCountIn(const ClickBeats& beats, std::int64_t songFrame, double tempo, int bars,
                    double sampleRate, std::int64_t startAt) {
    CountIn c;
    c.startAt = startAt;
    double period = 0.5 * sampleRate;
    if (beats.size() >= 2) {
        // The interval of the beat pair nearest the start, so a tempo change later in the song
        // does not leak into this count.
        auto it = std::lower_bound(beats.begin(), beats.end(), songFrame,
                                   [](const ClickBeat& b, std::int64_t f) { return b.frame < f; });
        if (it == beats.end()) --it;
        if (it == beats.begin()) ++it;
        period = static_cast<double>(it->frame - (it - 1)->frame);
        // A bar: the beats from one downbeat to the next, around the start.
        auto bar = it;
        while (bar != beats.begin() && !bar->downbeat) --bar;
        if (bar->downbeat) {
            auto next = bar + 1;
            while (next != beats.end() && !next->downbeat) ++next;
            if (next != beats.end()) c.beatsPerBar = static_cast<int>(next - bar);
        }
    }
    c.intervalFrames = period / std::clamp(tempo, 0.25, 4.0);
    c.beats = std::max(0, bars) * c.beatsPerBar;
    return c;
}

ClickCue countInCue(const CountIn& c, std::int64_t k) noexcept {
    if (c.beats <= 0 || k < 0 || k >= c.length()) return ClickCue::none;
    const auto beat =
        static_cast<std::int64_t>(std::floor(static_cast<double>(k) / c.intervalFrames));
    if (k != std::lround(static_cast<double>(beat) * c.intervalFrames)) return ClickCue::countIn;
    return beat % std::max(1, c.beatsPerBar) == 0 ? ClickCue::accent : ClickCue::beat;
}

std::vector<float> clickSound(double sampleRate, bool accent) {
    const double hz = accent ? ClickTrack::kAccentHz : ClickTrack::kBeatHz;
    const float level = accent ? ClickTrack::kAccentLevel : ClickTrack::kBeatLevel;
    const auto frames =
        static_cast<std::size_t>(std::lround(ClickTrack::kClickSeconds * sampleRate));
    std::vector<float> sound(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        // A cosine: full level on the first frame, so the click is on its beat to the frame;
        // it decays to -60 dB by its end.
        const double t = static_cast<double>(i) / sampleRate;
        const double decay = std::exp(-6.9 * static_cast<double>(i) / static_cast<double>(frames));
        sound[i] = level * static_cast<float>(decay * std::cos(2.0 * std::numbers::pi * hz * t));
    }
    return sound;
}

void addClicks(std::span<const ClickBeat> beats, double tempo, float gain,
               const std::vector<float>& beatSound, const std::vector<float>& accentSound,
               std::int64_t outStart, std::span<float> l, std::span<float> r) {
    const auto n = static_cast<std::int64_t>(std::min(l.size(), r.size()));
    const std::int64_t longest =
        static_cast<std::int64_t>(std::max(beatSound.size(), accentSound.size()));
    for (const ClickBeat& b : beats) {
        const auto at = static_cast<std::int64_t>(std::ceil(static_cast<double>(b.frame) / tempo));
        if (at + longest <= outStart || at >= outStart + n) continue;
        const std::vector<float>& sound = b.downbeat ? accentSound : beatSound;
        const auto size = static_cast<std::int64_t>(sound.size());
        for (std::int64_t f = std::max(at, outStart); f < std::min(at + size, outStart + n); ++f) {
            const float v = gain * sound[static_cast<std::size_t>(f - at)];
            l[static_cast<std::size_t>(f - outStart)] += v;
            r[static_cast<std::size_t>(f - outStart)] += v;
        }
    }
}

void ClickTrack::prepare(double sampleRate, int rampFrames) {
    m_rampFrames = std::max(1, rampFrames);
    m_beatSound = clickSound(sampleRate, false);
    m_accentSound = clickSound(sampleRate, true);
    m_playing = nullptr;
    m_lastSong = -1;
    m_gain = 0.0f;
}

void ClickTrack::setBeats(const ClickBeat* beats, std::size_t count) noexcept {
    m_beats = beats;
    m_beatCount = beats ? count : 0;
}

void ClickTrack::trigger(bool accent) noexcept {
    m_playing = accent ? &m_accentSound : &m_beatSound;
    m_playPos = 0;
}

// Song beats in (after, upTo]; the last one found is the one heard (two only meet at a jump).
void ClickTrack::triggerSongBeats(std::int64_t after, std::int64_t upTo) noexcept {
    const ClickBeat* end = m_beats + m_beatCount;
    const ClickBeat* b = std::upper_bound(
        m_beats, end, after, [](std::int64_t f, const ClickBeat& x) { return f < x.frame; });
    const ClickBeat* found = nullptr;
    for (; b != end && b->frame <= upTo; ++b) found = b;
    if (found) trigger(found->downbeat);
}

void ClickTrack::mix(float* out, int n, std::int64_t deviceStart, const std::int64_t* songs,
                     const ClickCue* cues, float gain) noexcept {
    // A song frame that moves back (a loop wrap, a seek) or leaps ahead is a new place: only a
    // beat exactly there sounds. Stretching moves at most a couple of frames per frame.
    constexpr std::int64_t kLeap = 8;
    const double step = 1.0 / m_rampFrames;
    for (int i = 0; i < n; ++i) {
        const std::int64_t device = deviceStart + i;
        const ClickCue cue = countInCue(m_countIn, device - m_countIn.startAt);
        const ClickCue passCue = cues ? cues[i] : ClickCue::none;
        if (cue == ClickCue::beat || cue == ClickCue::accent) trigger(cue == ClickCue::accent);
        if (passCue == ClickCue::beat || passCue == ClickCue::accent)
            trigger(passCue == ClickCue::accent);
        const std::int64_t song = songs[i];
        if (song >= 0 && m_beatCount > 0 && song != m_lastSong) {
            if (m_lastSong >= 0 && song > m_lastSong && song - m_lastSong <= kLeap)
                triggerSongBeats(m_lastSong, song);
            else
                triggerSongBeats(song - 1, song);
        }
        m_lastSong = song;
        // The level ramps while a click sounds, so a mute or a volume drag never clicks itself;
        // between clicks it is taken at once.
        if (!m_playing)
            m_gain = gain;
        else if (m_gain < gain)
            m_gain = std::min(gain, m_gain + static_cast<float>(step));
        else if (m_gain > gain)
            m_gain = std::max(gain, m_gain - static_cast<float>(step));
        if (m_playing) {
            const float v = (*m_playing)[m_playPos] * m_gain;
            out[2 * i] += v;
            out[2 * i + 1] += v;
            if (++m_playPos >= m_playing->size()) m_playing = nullptr;
        }
    }
}

}  // namespace corvane::playback
