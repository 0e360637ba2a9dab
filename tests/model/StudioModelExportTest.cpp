// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QDir>
#include <filesystem>

#include "ModelTestSupport.h"
#include "audio/AudioFileReader.h"

using namespace corvane;
using namespace corvane::model;
using namespace corvane::test;

namespace {

constexpr float k24BitStep = 1.0f / 8388608.0f;

struct Exports : ::testing::Test {
    TempDir dir;
    ModelRig rig;
    StudioModel& m = *rig.model;

    void SetUp() override {
        // Loud enough that the sum of the stems goes past full scale somewhere.
        dsp::StereoAudio song = testSong(30000);
        for (auto* channel : {&song.l, &song.r})
            for (float& x : *channel) x *= 2.5f;
        ASSERT_TRUE(loadAndWait(m, writeSong(dir, "My Song.mp3.wav", song)));
    }

    QString path(const std::string& name) const {
        return QString::fromStdString((dir / name).string());
    }

    void setStrip(int i, float volume, bool solo, bool mute) {
        Strip s = m.strips()[i];
        s.volume = volume;
        s.solo = solo;
        s.mute = mute;
        m.setStrip(i, s);
        m.applyGains();
    }

    // Reads a written WAV back and compares it with gains applied to the stems, clipped.
    void expectMixOf(const QString& file, const std::vector<float>& gains) {
        auto read = audio::readAudio(file.toStdString());
        ASSERT_TRUE(read.ok()) << read.error().description;
        const dsp::StereoAudio& got = read.value();
        ASSERT_EQ(got.frames(), m.totalFrames());
        for (std::int64_t k = 0; k < m.totalFrames(); ++k) {
            float l = 0.0f;
            float r = 0.0f;
            for (int s = 0; s < 4; ++s) {
                l += m.stems()[s]->l[k] * gains[s];
                r += m.stems()[s]->r[k] * gains[s];
            }
            ASSERT_NEAR(got.l[k], std::clamp(l, -1.0f, 1.0f), 2 * k24BitStep) << "frame " << k;
            ASSERT_NEAR(got.r[k], std::clamp(r, -1.0f, 1.0f), 2 * k24BitStep) << "frame " << k;
        }
    }
};

}  // namespace

TEST_F(Exports, MixFollowsTheStripsAsHeard) {
    struct Case {
        const char* name;
        std::vector<std::tuple<float, bool, bool>> strips;
        std::vector<float> gains;
    };
    const Case cases[] = {
        {"all at volume 1: the clipped sum",
         {{1, 0, 0}, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}},
         {1, 1, 1, 1}},
        {"karaoke: vocals muted", {{1, 0, 1}, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}}, {0, 1, 1, 1}},
        {"drums soloed at half", {{1, 0, 0}, {0.5f, 1, 0}, {1, 0, 0}, {1, 0, 0}}, {0, 0.5f, 0, 0}},
        {"everything muted: silence", {{1, 0, 1}, {1, 0, 1}, {1, 0, 1}, {1, 0, 1}}, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < 4; ++i) {
            auto [volume, solo, mute] = c.strips[static_cast<std::size_t>(i)];
            setStrip(i, volume, solo, mute);
        }
        rig.dialogs.saveAnswers.push_back(path("mix.wav"));
        m.exportMix();
        EXPECT_EQ(rig.dialogs.proposedNames.back(), "My Song.mp3 - Mix.wav");
        EXPECT_EQ(m.status(), "Saved mix.wav.");
        expectMixOf(path("mix.wav"), c.gains);
    }
}

TEST_F(Exports, AStemIsWrittenRawWhateverItsStrip) {
    setStrip(1, 0.0f, false, true);
    rig.dialogs.saveAnswers.push_back(path("drums.wav"));
    m.exportStem(1);
    EXPECT_EQ(rig.dialogs.proposedNames.back(), "My Song.mp3 - Drums.wav");
    EXPECT_EQ(m.status(), "Saved drums.wav.");
    expectMixOf(path("drums.wav"), {0, 1, 0, 0});
}

TEST_F(Exports, AllStemsGoIntoTheChosenFolder) {
    const auto folder = dir / "Exports";
    std::filesystem::create_directory(folder);
    rig.dialogs.folderAnswers.push_back(QString::fromStdString(folder.string()));
    m.exportAllStems();
    EXPECT_EQ(m.status(), "Exported 4 stems to Exports.");
    const char* names[] = {"Vocals", "Drums", "Bass", "Other"};
    for (int s = 0; s < 4; ++s) {
        SCOPED_TRACE(names[s]);
        std::vector<float> gains(4, 0.0f);
        gains[s] = 1.0f;
        expectMixOf(QString::fromStdString(
                        (folder / ("My Song.mp3 - " + std::string(names[s]) + ".wav")).string()),
                    gains);
    }
}

TEST_F(Exports, CancelWritesNothingAndSaysNothing) {
    m.exportMix();
    m.exportStem(0);
    m.exportAllStems();
    EXPECT_EQ(rig.dialogs.proposedNames.size(), 2u);
    EXPECT_EQ(rig.dialogs.folderRequests, 1);
    EXPECT_TRUE(m.status().isEmpty());
    EXPECT_EQ(QDir(QString::fromStdString(dir.path().string())).entryList(QDir::Files).size(), 1);
}

TEST_F(Exports, FailuresAreReportedAndNeverAsSuccess) {
    rig.dialogs.saveAnswers.push_back(path("no such folder/mix.wav"));
    m.exportMix();
    EXPECT_EQ(m.status(), "Export failed: No such file or directory");

    rig.dialogs.saveAnswers.push_back("/dev/full");
    m.exportStem(3);
    EXPECT_EQ(m.status(), "Export failed: No space left on device");

    // Every stem fails to write: the folder is gone. The message says so, not "Exported 4 stems".
    rig.dialogs.folderAnswers.push_back(path("vanished"));
    m.exportAllStems();
    EXPECT_EQ(m.status(), "Export failed: No such file or directory");
}
