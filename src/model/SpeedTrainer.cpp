// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/SpeedTrainer.h"

#include <algorithm>
#include <cmath>

namespace corvane::model {

namespace {
double clampPercent(double p, double fallback) {
    return std::isfinite(p) ? std::clamp(p, SpeedTrainer::kMinPercent, SpeedTrainer::kMaxPercent)
                            : fallback;
}
}  // namespace

SpeedTrainer::SpeedTrainer(SpeedTrainerSettings settings) : m_settings(settings) {
    m_settings.startPercent = clampPercent(settings.startPercent, 100.0);
    m_settings.targetPercent = clampPercent(settings.targetPercent, m_settings.startPercent);
    m_settings.stepPercent = std::isfinite(settings.stepPercent) ? settings.stepPercent : 0.0;
    m_settings.passesPerStep = std::max(1, settings.passesPerStep);
    // A step away from the target would never reach it: it goes towards it.
    const double towards = m_settings.targetPercent - m_settings.startPercent;
    m_settings.stepPercent = std::copysign(std::abs(m_settings.stepPercent), towards);
}

int SpeedTrainer::firstPassAtTarget() const {
    const double distance = std::abs(m_settings.targetPercent - m_settings.startPercent);
    if (distance < 1e-9) return 0;
    if (std::abs(m_settings.stepPercent) < 1e-9) return -1;  // never
    const auto steps =
        static_cast<int>(std::ceil(distance / std::abs(m_settings.stepPercent) - 1e-9));
    return steps * m_settings.passesPerStep;
}

std::optional<double> SpeedTrainer::tempoForPass(int pass) const {
    if (pass < 0) pass = 0;
    const int atTarget = firstPassAtTarget();
    if (atTarget >= 0 && m_settings.stopAtTarget && pass >= atTarget + m_settings.passesPerStep)
        return std::nullopt;
    if (atTarget >= 0 && pass >= atTarget) return m_settings.targetPercent / 100.0;
    const int steps = pass / m_settings.passesPerStep;
    return (m_settings.startPercent + steps * m_settings.stepPercent) / 100.0;
}

}  // namespace corvane::model
