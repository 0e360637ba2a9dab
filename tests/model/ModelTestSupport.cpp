// SPDX-License-Identifier: GPL-3.0-or-later
#include "ModelTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cmath>

#include "audio/WavWriter.h"

namespace corvane::test {

std::optional<QString> takeAnswer(std::deque<QString>& answers) {
    if (answers.empty()) return std::nullopt;
    const QString answer = answers.front();
    answers.pop_front();
    if (answer.isEmpty()) return std::nullopt;
    return answer;
}

std::unique_ptr<model::StudioModel> offlineModel(model::ExportDialogs* dialogs,
                                                 audio::OfflineAudioDevice*& device) {
    return std::make_unique<model::StudioModel>(dialogs, [&device] {
        auto made = std::make_unique<audio::OfflineAudioDevice>();
        device = made.get();
        return made;
    });
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

QString writeSong(const TempDir& dir, const std::string& name, const dsp::StereoAudio& audio) {
    const auto path = dir / name;
    auto error = audio::writeWav(path, audio.l, audio.r, audio.sampleRate);
    EXPECT_FALSE(error.has_value()) << (error ? error->description : "");
    return QString::fromStdString(path.string());
}

bool loadAndWait(model::StudioModel& model, const QString& path) {
    model.load(path);
    const bool ended = waitUntil([&] { return model.phase() != model::Phase::processing; });
    return ended && model.phase() == model::Phase::ready;
}

dsp::StereoAudio testSong(std::size_t frames, double sampleRate, std::uint32_t seed) {
    dsp::StereoAudio song{noise(frames, seed, 0.2f), noise(frames, seed + 1, 0.2f), sampleRate};
    const auto tone = sine(frames, 440.0, sampleRate, 0.3f);
    for (std::size_t i = 0; i < frames; ++i) {
        song.l[i] += tone[i];
        song.r[i] += tone[i];
    }
    return song;
}

}  // namespace corvane::test
