// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>

namespace corvane::model {

// A speed trainer's plan for a loop: start at startPercent, add stepPercent every passesPerStep
// passes up to targetPercent (a negative step slows down to it), then either stop after
// passesPerStep passes at the target or keep looping there. Percent of the song's tempo.
struct SpeedTrainerSettings {
    double startPercent = 60.0;
    double stepPercent = 5.0;
    int passesPerStep = 2;
    double targetPercent = 100.0;
    bool stopAtTarget = false;
    bool operator==(const SpeedTrainerSettings&) const = default;
};

// The tempo of each pass of a loop under a plan: a pure function of the pass, so the transport
// can ask for the next one before the wrap and change tempo between passes. Any thread.
class SpeedTrainer {
public:
    static constexpr double kMinPercent = 50.0;  // the stretcher's range
    static constexpr double kMaxPercent = 150.0;

    explicit SpeedTrainer(SpeedTrainerSettings settings);
    const SpeedTrainerSettings& settings() const { return m_settings; }

    // The tempo (1 = 100 %) of pass `pass` (0: the first); nothing once the plan has stopped.
    std::optional<double> tempoForPass(int pass) const;
    // The first pass played at the target.
    int firstPassAtTarget() const;

private:
    SpeedTrainerSettings m_settings;  // sanitised
};

}  // namespace corvane::model
