// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/Separator.h"

#include "dsp/refined/RefinedSeparator.h"
#include "dsp/standard/StandardSeparator.h"

namespace corvane::dsp {

std::vector<StemData> Separator::separate(const StereoAudio& audio, const ProgressFn& progress,
                                          const SeparatorOptions& options) {
    if (options.method == SeparationMethod::refined)
        return separateRefined(audio, progress, options);
    return separateStandard(audio, progress, options);
}

}  // namespace corvane::dsp
