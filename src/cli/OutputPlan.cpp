// SPDX-License-Identifier: GPL-3.0-or-later
#include "OutputPlan.h"

#include "audio/AudioFormat.h"

namespace corvane::cli {

std::string trackName(const std::filesystem::path& input) {
    const std::string name = input.filename().string();
    const std::size_t dot = name.rfind('.');
    return dot != std::string::npos && dot > 0 ? name.substr(0, dot) : name;
}

std::string expandTemplate(std::string_view t, std::string_view track, std::string_view stem,
                           std::string_view ext) {
    std::string out;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const std::size_t close = t[i] == '{' ? t.find('}', i) : std::string_view::npos;
        if (close == std::string_view::npos) {
            out += t[i];
            continue;
        }
        const std::string_view field = t.substr(i + 1, close - i - 1);
        out += field == "track" ? track : field == "stem" ? stem : ext;
        i = close;
    }
    return out;
}

std::vector<PlannedOutput> planOutputs(const std::filesystem::path& input,
                                       const std::filesystem::path& folder,
                                       const CliOptions& options) {
    const std::string track = trackName(input);
    const std::string_view ext = audio::extension(options.encode.format);
    auto at = [&](std::string_view stem) {
        const std::filesystem::path name(expandTemplate(options.nameTemplate, track, stem, ext));
        return folder.empty() ? name : folder / name;
    };
    std::vector<PlannedOutput> plan;
    for (dsp::StemKind kind : options.stems) plan.push_back({at(dsp::title(kind)), kind});
    if (options.instrumental) plan.push_back({at(kInstrumentalSuffix), std::nullopt});
    return plan;
}

}  // namespace corvane::cli
