// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Transport.h"

#include <QThread>
#include <algorithm>
#include <cmath>

#include "model/StatusText.h"

namespace corvane::model {

Transport::Transport(DeviceFactory makeDevice, QObject* parent)
    : QObject(parent), m_makeDevice(std::move(makeDevice)) {
    m_engine = std::make_unique<playback::PlaybackEngine>(m_makeDevice());
    m_timer.setInterval(kTickMilliseconds);
    connect(&m_timer, &QTimer::timeout, this, &Transport::tick);
}

void Transport::setSong(Song song, const std::vector<float>& gains) {
    Q_ASSERT(QThread::currentThread() == thread());
    stopPlayback();
    m_engine = std::make_unique<playback::PlaybackEngine>(m_makeDevice());  // the old one closes
    m_engine->setStretch(m_stretch);
    m_clickBeats = std::make_shared<const playback::ClickBeats>();  // the old song's
    applyClick();
    m_song = std::move(song);
    m_hasSong = true;
    m_startFrame = 0;
    setPosition(0.0);
    setGains(gains);
    setLoop({});
    // Failure is told by hasOutput(); Play tries again, and says why if it fails then too.
    (void)m_engine->start(m_song.sampleRate);
}

void Transport::replaceStems(Song song) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_hasSong) return;
    const std::int64_t frame = m_isPlaying ? currentFrame() : m_startFrame;
    m_song = std::move(song);
    m_startFrame = std::clamp<std::int64_t>(frame, 0, std::max<std::int64_t>(m_song.frames - 1, 0));
    setPosition(m_song.seconds(m_startFrame));
    if (m_isPlaying) startSound(true);
}

bool Transport::probeOutput() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_hasSong) return hasOutput();
    playback::PlaybackEngine probe(m_makeDevice());
    return !probe.start(m_song.sampleRate).has_value();  // closed as it goes
}

void Transport::reopenOutput(const std::vector<float>& gains) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_hasSong) return;
    const bool playing = m_isPlaying;
    if (playing) pause();                                                   // keeps the place
    m_engine = std::make_unique<playback::PlaybackEngine>(m_makeDevice());  // the old one closes
    m_engine->setStretch(m_stretch);
    applyClick();  // the new engine's click starts muted, with no beats
    setGains(gains);
    setLoop(m_loop);
    (void)m_engine->start(m_song.sampleRate);
    if (playing) play();
}

void Transport::setGains(const std::vector<float>& gains) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_hasSong) return;
    for (std::size_t i = 0; i < gains.size() && i < playback::PlaybackEngine::kSources; ++i)
        m_engine->setGain(static_cast<int>(i), gains[i]);
}

void Transport::setClickBeats(const std::vector<double>& beats,
                              const std::vector<bool>& downbeats) {
    Q_ASSERT(QThread::currentThread() == thread());
    auto frames = std::make_shared<playback::ClickBeats>();
    frames->reserve(beats.size());
    for (std::size_t i = 0; i < beats.size(); ++i) {
        if (!std::isfinite(beats[i]) || beats[i] < 0.0) continue;
        frames->push_back(
            {std::llround(beats[i] * m_song.sampleRate), i < downbeats.size() && downbeats[i]});
    }
    std::stable_sort(frames->begin(), frames->end(),
                     [](const auto& a, const auto& b) { return a.frame < b.frame; });
    m_clickBeats = frames;
    m_engine->setClickBeats(std::move(frames));
    updatePassCountIn();
}

void Transport::setClickVolume(float volume) {
    m_clickVolume = std::clamp(std::isfinite(volume) ? volume : 0.0f, 0.0f, 2.0f);
    m_engine->setClickVolume(m_clickVolume);
}

void Transport::setClickMuted(bool muted) {
    m_clickMuted = muted;
    m_engine->setClickMuted(muted);
    updatePassCountIn();
}

void Transport::setCountInBars(int bars) {
    m_countInBars = std::clamp(bars, 0, 2);
    updatePassCountIn();
}

void Transport::setCountInEachPass(bool each) {
    m_countInEachPass = each;
    updatePassCountIn();
}

void Transport::applyClick() {
    m_engine->setClickVolume(m_clickVolume);
    m_engine->setClickMuted(m_clickMuted);
    m_engine->setClickBeats(m_clickBeats);
    m_engine->setNextPassTempo(m_nextPassTempo);
    m_engine->setPassCountIn(m_passCountIn);
}

void Transport::updatePassCountIn() {
    playback::CountIn countIn;
    // Like the count-in before play, only with the click on. Its tempo is the loop start's, in
    // song frames; the engine scales it by the tempo of each pass.
    if (m_hasSong && m_countInEachPass && m_countInBars > 0 && !m_clickMuted && m_loop.enabled &&
        m_loop.isSet())
        countIn = playback::planCountIn(*m_clickBeats,
                                        static_cast<std::int64_t>(m_song.sampleRate * m_loop.start),
                                        1.0, m_countInBars, m_song.sampleRate, 0);
    if (countIn == m_passCountIn) return;
    m_passCountIn = countIn;
    m_engine->setPassCountIn(countIn);
}

void Transport::setNextPassTempo(std::optional<double> tempo) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (tempo)
        tempo = std::clamp(std::isfinite(*tempo) ? *tempo : 1.0, playback::Stretch::kMinTempo,
                           playback::Stretch::kMaxTempo);
    const bool was = stretching();
    m_nextPassTempo = tempo;
    m_engine->setNextPassTempo(tempo);
    if (was != stretching() && m_isPlaying) restretch();
}

void Transport::restretch() {
    m_startFrame = std::min(std::max<std::int64_t>(m_song.frames - 1, 0), currentFrame());
    startSound(true);
}

void Transport::setStretch(playback::Stretch stretch) {
    Q_ASSERT(QThread::currentThread() == thread());
    stretch.tempo =
        std::clamp(stretch.tempo, playback::Stretch::kMinTempo, playback::Stretch::kMaxTempo);
    stretch.semitones = std::clamp(stretch.semitones, -playback::Stretch::kMaxSemitones,
                                   playback::Stretch::kMaxSemitones);
    // Between two stretched settings the engine follows at once; into or out of stretching, the
    // sources are scheduled again from where the song is.
    const bool was = stretching();
    m_stretch = stretch;
    m_engine->setStretch(stretch);
    if (was != stretching() && m_isPlaying) restretch();
    emit stretchChanged();
}

void Transport::setLoop(LoopRegion loop) {
    Q_ASSERT(QThread::currentThread() == thread());
    const double duration = m_hasSong ? m_song.seconds(m_song.frames) : 0.0;
    if (!(loop.start <= loop.end)) std::swap(loop.start, loop.end);  // NaN fails both ways
    loop.start = std::clamp(std::isfinite(loop.start) ? loop.start : 0.0, 0.0, duration);
    loop.end = std::clamp(std::isfinite(loop.end) ? loop.end : 0.0, 0.0, duration);
    if (loop.end - loop.start < kMinLoopSeconds) loop = {};
    m_loop = loop;
    // The engine wraps on frames, truncated as a seek would; what plays goes on (a playhead past
    // the end plays on to the song's end).
    const auto frame = [this](double seconds) {
        return static_cast<std::int64_t>(m_song.sampleRate * seconds);
    };
    m_engine->setLoop({frame(loop.start), frame(loop.end), loop.enabled && loop.isSet()});
    updatePassCountIn();
    emit loopChanged();
}

void Transport::play() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_hasSong || m_isPlaying) return;
    if (m_startFrame >= m_song.frames - 1) {
        m_startFrame = 0;
        setPosition(0.0);
    }
    if (!startSound(false)) return;
    setIsPlaying(true);
    m_timer.start();
}

bool Transport::startSound(bool seamless) {
    if (!m_engine->isRunning()) {
        if (auto error = m_engine->start(m_song.sampleRate)) {
            emit failed(QString::fromUtf8(kEngineFailed) +
                        QString::fromStdString(error->description));
            return false;
        }
    }
    std::array<std::shared_ptr<const dsp::StemData>, playback::PlaybackEngine::kSources> stems;
    for (std::size_t i = 0; i < stems.size() && i < m_song.stems.size(); ++i)
        stems[i] = m_song.stems[i];
    // From silence the sources start together after a short lead; while playing, the next block
    // the device asks for crossfades into them, so nothing is missed and nothing waits.
    const auto lead =
        static_cast<std::int64_t>(std::llround(kStartLeadSeconds * m_song.sampleRate));
    std::int64_t at = m_engine->deviceFrame() + (seamless ? 0 : lead);
    if (!seamless) {
        // The count-in clicks on the device's clock; the song starts on its bar line.
        playback::CountIn countIn;
        if (m_countInBars > 0 && !m_clickMuted)
            countIn = playback::planCountIn(*m_clickBeats, m_startFrame, m_stretch.tempo,
                                            m_countInBars, m_song.sampleRate, at);
        m_engine->setCountIn(countIn);
        if (countIn.beats > 0) at = countIn.endAt();
    }
    m_engine->playAll(stems, m_startFrame, m_song.frames, at, seamless);
    return true;
}

void Transport::pause() {
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_isPlaying) return;
    const std::int64_t f = currentFrame();
    m_startFrame = std::min(std::max<std::int64_t>(m_song.frames - 1, 0), f);
    setPosition(m_song.seconds(m_startFrame));
    stopPlayback();
}

void Transport::stop() {
    Q_ASSERT(QThread::currentThread() == thread());
    stopPlayback();
    m_startFrame = 0;
    setPosition(0.0);
}

void Transport::seek(double seconds) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_hasSong) return;
    // Truncated toward zero; out-of-range and non-finite times land on the nearest end.
    const double k = m_song.sampleRate * seconds;
    const std::int64_t last = std::max<std::int64_t>(m_song.frames - 1, 0);
    std::int64_t frame = 0;
    if (k >= static_cast<double>(last))
        frame = last;
    else if (k > 0.0)
        frame = static_cast<std::int64_t>(k);
    m_startFrame = frame;
    setPosition(m_song.seconds(m_startFrame));
    if (m_isPlaying) startSound(true);
}

void Transport::stopPlayback() {
    m_timer.stop();
    m_engine->stopAll();
    setIsPlaying(false);
}

void Transport::tick() {
    if (!m_isPlaying) return;
    const std::int64_t f = currentFrame();
    if (f >= m_song.frames) {
        stopPlayback();
        m_startFrame = 0;
        setPosition(0.0);
    } else {
        setPosition(m_song.seconds(f));
    }
}

std::int64_t Transport::currentFrame() const {
    if (!m_hasSong) return m_startFrame;
    // The engine follows the song frame the vocals source plays, through loop wraps, and (when
    // stretched) stamps every output frame with the song frame it stands for. Until it has
    // rendered this start, and during the lead, it stands at startFrame.
    return m_engine->songFrame().value_or(m_startFrame);
}

void Transport::setPosition(double seconds) {
    m_position = seconds;
    emit positionChanged();
}

void Transport::setIsPlaying(bool playing) {
    m_isPlaying = playing;
    emit isPlayingChanged();
}

}  // namespace corvane::model
