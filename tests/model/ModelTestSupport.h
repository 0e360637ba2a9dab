// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QSignalSpy>
#include <QTest>

#include "TestSupport.h"
#include "analysis/SongMap.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "demo/DemoSong.h"
#include "model/StudioModel.h"
#include "playback/OfflineAudioDevice.h"

// Readable QStrings in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace corvane::test {

// Dialogs logging each request in `asked` (the proposed name, or "folder" / "open") and giving
// `next` once; without it, the user cancelled.
template <class Dialogs = model::ExportDialogs>
struct FakeExportDialogs : Dialogs {
    std::optional<QString> next;
    std::vector<QString> asked;
    QString startFolder;
    void setStartFolder(const QString& folder) override { startFolder = folder; }
    std::optional<QString> saveAudioLocation(const QString& name) override { return answer(name); }
    std::optional<QString> exportFolder() override { return answer("folder"); }
    std::optional<QString> answer(const QString& request) {
        asked.push_back(request);
        return std::exchange(next, std::nullopt);
    }
};

inline QString writeSong(const TempDir& dir, const std::string& name, const dsp::StereoAudio& a) {
    auto error = audio::writeWav(dir / name, a.l, a.r, a.sampleRate);
    EXPECT_FALSE(error) << error->description;
    return QString::fromStdString((dir / name).string());
}

// True if the load ends ready with the new song (a failed one may end ready with the old).
inline bool loadAndWait(model::StudioModel& model, const QString& path) {
    model.load(path);
    return QTest::qWaitFor([&] { return !model.isLoading(); }, 20000) &&
           model.phase() == model::Phase::ready &&
           !model.status().startsWith(QString::fromUtf8(model::kCouldNotRead));
}

// Waits for the running export, if any, to report its outcome; false if it never does.
inline bool waitForExport(model::StudioModel& model) {
    return QTest::qWaitFor([&] { return !model.isExporting(); }, 20000);
}

// Sets the volume, solo and mute of the first strips (each change heard at once).
using Settings = std::vector<std::tuple<float, bool, bool>>;
inline void setStrips(model::StudioModel& model, const Settings& settings) {
    for (std::size_t i = 0; i < settings.size(); ++i) {
        model::Strip s = model.strips()[i];
        std::tie(s.volume, s.solo, s.mute) = settings[i];
        model.setStrip(static_cast<int>(i), s);
    }
}

// The WAV at `file` must be the model's stems at `gains`, summed and clipped, to 24 bits.
inline void expectMixOf(const QString& file, const model::StudioModel& model,
                        const std::vector<float>& gains) {
    auto read = audio::readAudio(file.toStdString());
    ASSERT_TRUE(read.ok()) << read.error().description;
    for (const bool left : {true, false}) {
        std::vector<float> mix(static_cast<std::size_t>(model.totalFrames()), 0.0f);
        for (int s = 0; s < 4; ++s)
            for (std::size_t k = 0; k < mix.size(); ++k)
                mix[k] += (left ? model.stems()[s]->l : model.stems()[s]->r)[k] * gains[s];
        for (float& x : mix) x = std::clamp(x, -1.0f, 1.0f);
        EXPECT_TRUE(nearlyEqual(left ? read.value().l : read.value().r, mix, 2.0f / 8388608.0f))
            << file.toStdString() << (left ? " left" : " right");
    }
}

// `seconds` of steady beats at `bpm` in `perBar`, starting at `offset` seconds.
inline analysis::SongMap steadyMap(double seconds, double bpm, int perBar, double offset = 0.0) {
    analysis::SongMap map;
    map.durationSeconds = seconds;
    map.steadyBeat = true;
    map.tempoBpm = bpm;
    map.beatsPerBar = perBar;
    for (int k = 0; offset + k * 60.0 / bpm < seconds; ++k)
        map.beats.push_back({offset + k * 60.0 / bpm, 1 + k / perBar, 1 + k % perBar});
    return map;
}

// A model on offline devices with fake dialogs and a folder.
template <class Dialogs = FakeExportDialogs<>>
struct Rig {
    TempDir dir;
    Dialogs dialogs;
    playback::OfflineAudioDevice* device = nullptr;  // the one the current playback graph uses
    std::unique_ptr<model::StudioModel> model =
        std::make_unique<model::StudioModel>(&dialogs, [this] {
            auto made = std::make_unique<playback::OfflineAudioDevice>();
            device = made.get();
            return made;
        });

    QString path(const std::string& n) const { return QString::fromStdString((dir / n).string()); }
    bool load(double seconds, const std::string& name = "song.wav") {  // the demo song
        return loadAndWait(*model, writeSong(dir, name, demo::makeDemoSong(seconds)));
    }
};
using ModelRig = Rig<>;

}  // namespace corvane::test
