// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane::playback {

// A beat of the song, in song frames; the downbeat of a bar is accented.
struct ClickBeat {
    std::int64_t frame = 0;
    bool downbeat = false;
    bool operator==(const ClickBeat&) const = default;
};
using ClickBeats = std::vector<ClickBeat>;  // sorted by frame

// Clicks before the song is heard, on the device's clock: `beats` of them, `intervalFrames`
// device frames apart, the first at device frame `startAt`, the first of each bar accented.
struct CountIn {
    std::int64_t startAt = 0;
    double intervalFrames = 0.0;
    int beats = 0;
    int beatsPerBar = 4;
    bool operator==(const CountIn&) const = default;
    std::int64_t length() const { return static_cast<std::int64_t>(intervalFrames * beats + 0.5); }
    std::int64_t endAt() const { return startAt + length(); }
};

// What a frame of a count-in between loop passes asks of the click: nothing of the song is
// heard there (countIn), and on some frames a count-in beat starts (beat, accent).
enum class ClickCue : std::uint8_t { none, countIn, beat, accent };
// The cue of frame `k` of count-in `c` (counted from its first frame; its startAt is ignored):
// a beat where lround(j * intervalFrames) is k, the first of each bar accented; none outside it.
ClickCue countInCue(const CountIn& c, std::int64_t k) noexcept;

// Count-in of `bars` bars at the tempo the song has around `songFrame`, slowed or sped up by
// `tempo`, starting at device frame `startAt`. The beat period and the bar's length come from
// the beats nearest `songFrame`; without beats, 120 beats a minute in 4/4.
CountIn planCountIn(const ClickBeats& beats, std::int64_t songFrame, double tempo, int bars,
                    double sampleRate, std::int64_t startAt);

// The click's sound at `sampleRate`: kClickSeconds of a decaying tone, full level on its first
// frame. Allocates.
std::vector<float> clickSound(double sampleRate, bool accent);

// Adds the clicks of `beats` (song frames) heard at `tempo` into output frames
// [outStart, outStart + l.size()) of an offline render at `gain`: a beat sounds from the first
// output frame whose song frame (output frame × tempo) reaches it, as in real time. `beatSound`
// and `accentSound` from clickSound(). Any thread; allocates nothing.
void addClicks(std::span<const ClickBeat> beats, double tempo, float gain,
               const std::vector<float>& beatSound, const std::vector<float>& accentSound,
               std::int64_t outStart, std::span<float> l, std::span<float> r);

// The metronome: a short decaying tone (higher and louder on a downbeat) started on the output
// frame where the song frame being heard reaches a beat, so it follows the song's clock through
// any tempo and every loop wrap; its own sound is never stretched or transposed.
//
// prepare() is for the main thread while the device is closed (it allocates the two click
// sounds); every other member is for the render thread, wait-free and allocation-free.
class ClickTrack {
public:
    static constexpr double kClickSeconds = 0.030;
    static constexpr double kBeatHz = 1000.0;
    static constexpr double kAccentHz = 1600.0;
    static constexpr float kBeatLevel = 0.5f;
    static constexpr float kAccentLevel = 0.8f;

    void prepare(double sampleRate, int rampFrames);
    // The beats followed from now on (kept alive by the caller while set).
    void setBeats(const ClickBeat* beats, std::size_t count) noexcept;
    void setCountIn(const CountIn& countIn) noexcept { m_countIn = countIn; }

    // Adds the click into interleaved stereo `out` for device frames [deviceStart, +n): `songs`
    // holds the song frame heard at each of them (negative where nothing of the song is), `cues`
    // (null: none) a count-in between loop passes. `gain` is the wanted level, reached by a ramp.
    void mix(float* out, int n, std::int64_t deviceStart, const std::int64_t* songs,
             const ClickCue* cues, float gain) noexcept;

private:
    void trigger(bool accent) noexcept;
    void triggerSongBeats(std::int64_t after, std::int64_t upTo) noexcept;

    std::vector<float> m_beatSound, m_accentSound;
    int m_rampFrames = 1;
    const ClickBeat* m_beats = nullptr;
    std::size_t m_beatCount = 0;
    CountIn m_countIn;
    std::int64_t m_lastSong = -1;
    const std::vector<float>* m_playing = nullptr;
    std::size_t m_playPos = 0;
    float m_gain = 0.0f;
};

}  // namespace corvane::playback
