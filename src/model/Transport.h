// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "model/Song.h"
#include "playback/AudioDevice.h"
#include "playback/PlaybackEngine.h"

namespace corvane::model {

// A loop from `start` to `end`, in song seconds; playback wraps at `end` only while `enabled`.
struct LoopRegion {
    double start = 0.0;
    double end = 0.0;
    bool enabled = false;

    bool isSet() const { return end > start; }
    friend bool operator==(const LoopRegion&, const LoopRegion&) = default;
};

// Plays the loaded song's four stems together from a resume point and keeps the playhead (song
// seconds), through a PlaybackEngine on an output device of its factory's making.
//
// Main thread only; its signals are emitted there. The playhead timer ticks about 30 times a
// second while playing and reads the engine's clock; the engine renders on the device's thread.
class Transport : public QObject {
    Q_OBJECT

public:
    using DeviceFactory = std::function<std::unique_ptr<playback::AudioDevice>()>;

    static constexpr double kStartLeadSeconds = 0.12;
    static constexpr int kTickMilliseconds = 33;  // about 1/30 s
    // A shorter region is no loop: a click on a waveform with Shift held clears it.
    static constexpr double kMinLoopSeconds = 0.05;

    explicit Transport(DeviceFactory makeDevice, QObject* parent = nullptr);

    // A new song: playback stops, a fresh graph (and device) is made and opened at once, so a
    // missing sound output is known when the studio opens rather than at Play; the resume point
    // is frame 0, and the stems are heard at `gains` (one per stem).
    void setSong(Song song, const std::vector<float>& gains);
    // The same song's stems made anew (by the other separation method): what plays goes on from
    // the same song frame, with the same gains, loop, tempo and pitch, the new stems crossfaded in
    // as a fader change would be. `song` has the current song's length and rate.
    void replaceStems(Song song);
    // Whether the output device opened for the current song.
    bool hasOutput() const { return m_engine->isRunning(); }
    // Without a song: whether a fresh device of the factory's making opens at all (it is closed
    // again at once). With one: hasOutput().
    bool probeOutput();
    // A fresh device of the factory's making (which may now make another output) for the song:
    // what plays goes on from where it is, with the same gains, loop, tempo and pitch.
    void reopenOutput(const std::vector<float>& gains);
    bool hasSong() const { return m_hasSong; }
    // The effective gain of each stem, heard at once (ramped by the engine).
    void setGains(const std::vector<float>& gains);

    // Tempo (0.5 to 1.5) and pitch (-12 to +12 semitones) of what plays, clamped to those
    // ranges; the playhead stays in song time. Applied at once while playing.
    void setStretch(playback::Stretch stretch);
    playback::Stretch stretch() const { return m_stretch; }

    // The loop, kept within the song with start before end; a region shorter than
    // kMinLoopSeconds, or any region without a song, clears it. A new song clears it too.
    // Heard at once while playing, without restarting the sound: an enabled loop wraps playback
    // from its end to its start (a playhead still before the end plays into it, one past it
    // plays on to the song's end); turned off, playback goes on from where it is. The playhead
    // follows the wraps.
    void setLoop(LoopRegion loop);
    LoopRegion loop() const { return m_loop; }

    // The metronome on `beats` (song seconds, sorted; `downbeats` flags each, missing ones: not a
    // downbeat), at its own linear `volume`, muted or not; heard at once. A new song clears the
    // beats. With countInBars (0, 1 or 2), a play() from silence first clicks that many bars at
    // the tempo played; with countInEachPass too, so does every wrap of an enabled loop (the
    // song's sound ends at the loop's end, the bars click at the loop start's tempo, the pass
    // starts at the loop's start), from the next wrap on. Either only while the click is on.
    void setClickBeats(const std::vector<double>& beats, const std::vector<bool>& downbeats);
    void setClickVolume(float volume);
    void setClickMuted(bool muted);
    void setCountInBars(int bars);
    void setCountInEachPass(bool each);
    const playback::ClickBeats& clickBeats() const { return *m_clickBeats; }
    float clickVolume() const { return m_clickVolume; }
    bool clickMuted() const { return m_clickMuted; }
    int countInBars() const { return m_countInBars; }
    bool countInEachPass() const { return m_countInEachPass; }

    // The tempo (clamped like setStretch()'s) the next loop pass starts at, to its first frame:
    // a speed trainer's, given before the wrap; the stretch() it reports follows when set
    // again. While one is set (nothing: none), playback is stretched even at 100 %, so that
    // each switch lands on its wrap.
    void setNextPassTempo(std::optional<double> tempo);
    std::optional<double> nextPassTempo() const { return m_nextPassTempo; }
    // Whether the click would be heard now: beats, unmuted, a level above 0.
    bool clickAudible() const {
        return !m_clickBeats->empty() && !m_clickMuted && m_clickVolume > 0.0f;
    }

    // Times in seconds of the song. play() without a song does nothing; a device that cannot be
    // opened is reported through failed(). A seek while playing, like a tempo or pitch change into
    // or out of 100 % and replaceStems(), goes on at once with no gap: the engine crossfades.
    void play();
    void pause();
    void stop();
    void seek(double seconds);
    // Stops the sound and the playhead timer; keeps the resume point and position.
    void stopPlayback();

    bool isPlaying() const { return m_isPlaying; }
    double position() const { return m_position; }
    std::int64_t startFrame() const { return m_startFrame; }
    const Song& song() const { return m_song; }
    playback::PlaybackEngine& engine() { return *m_engine; }

signals:
    // Emitted on every assignment, an equal value included.
    void positionChanged();
    void isPlayingChanged();
    void stretchChanged();
    void loopChanged();
    // One line for the status: "Audio engine failed: " and the device's reason.
    void failed(const QString& status);

private:
    // Plays the song from the resume point: after a lead from silence, or `seamless`ly, crossfaded
    // from what plays. False (and said through failed()) when the device will not open.
    bool startSound(bool seamless);
    void setPosition(double seconds);
    void setIsPlaying(bool playing);
    void tick();
    std::int64_t currentFrame() const;
    // Whether what plays goes through the stretcher.
    bool stretching() const { return !m_stretch.isIdentity() || m_nextPassTempo.has_value(); }
    // Plays on from where it is, stretched or not as stretching() now says.
    void restretch();
    // The click's settings, the count-in before each pass and the next pass's tempo, to the
    // engine (a new one, or after a change).
    void applyClick();
    void updatePassCountIn();

    DeviceFactory m_makeDevice;
    std::unique_ptr<playback::PlaybackEngine> m_engine;
    Song m_song;
    bool m_hasSong = false;
    std::int64_t m_startFrame = 0;
    double m_position = 0.0;
    bool m_isPlaying = false;
    playback::Stretch m_stretch;
    LoopRegion m_loop;
    std::shared_ptr<const playback::ClickBeats> m_clickBeats =
        std::make_shared<const playback::ClickBeats>();
    float m_clickVolume = 1.0f;
    bool m_clickMuted = true;
    int m_countInBars = 0;
    bool m_countInEachPass = false;
    std::optional<double> m_nextPassTempo;
    playback::CountIn m_passCountIn;  // as the engine has it
    QTimer m_timer;
};

}  // namespace corvane::model
