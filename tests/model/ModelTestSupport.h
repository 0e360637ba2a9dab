// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "TestSupport.h"
#include "audio/OfflineAudioDevice.h"
#include "dsp/StereoAudio.h"
#include "model/ExportDialogs.h"
#include "model/StudioModel.h"

namespace corvane::test {

// The next answer of a fake dialog: nothing (cancelled) when there is none or it is empty.
std::optional<QString> takeAnswer(std::deque<QString>& answers);

// Export dialogs that answer from queues the test fills; an empty queue or an empty answer means
// "cancelled". `Dialogs` is the interface to fake: the model's, or one that extends it.
template <class Dialogs = model::ExportDialogs>
class FakeExportDialogs : public Dialogs {
public:
    std::deque<QString> saveAnswers;
    std::deque<QString> folderAnswers;
    std::vector<QString> proposedNames;
    int folderRequests = 0;

    std::optional<QString> saveWavLocation(const QString& proposedName) override {
        proposedNames.push_back(proposedName);
        return takeAnswer(saveAnswers);
    }
    std::optional<QString> exportFolder() override {
        ++folderRequests;
        return takeAnswer(folderAnswers);
    }
};
using FakeDialogs = FakeExportDialogs<>;

// A model on offline devices with `dialogs`; `device` follows the device the current playback
// graph renders through.
std::unique_ptr<model::StudioModel> offlineModel(model::ExportDialogs* dialogs,
                                                 audio::OfflineAudioDevice*& device);

// A model on offline devices with fake dialogs.
struct ModelRig {
    FakeDialogs dialogs;
    audio::OfflineAudioDevice* device = nullptr;
    std::unique_ptr<model::StudioModel> model = offlineModel(&dialogs, device);
};

// Runs the event loop until `done` holds or `timeout` passes; returns whether it held.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Writes `audio` as a 24-bit WAV and returns its path.
QString writeSong(const TempDir& dir, const std::string& name, const dsp::StereoAudio& audio);

// Loads a file and waits for the load to end; true if it ended ready.
bool loadAndWait(model::StudioModel& model, const QString& path);

// A stereo song of `frames` frames: noise with a steady tone, so every stem has something.
dsp::StereoAudio testSong(std::size_t frames, double sampleRate = 44100.0, std::uint32_t seed = 1);

}  // namespace corvane::test
