// SPDX-License-Identifier: GPL-3.0-or-later
#include "OutputPlan.h"

#include <map>
#include <system_error>

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

namespace {

// The same file gives the same key however it was named ("./a.wav", "dir/../a.wav", a link).
std::string identity(const std::filesystem::path& p) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(p, ec);
    if (ec) absolute = p;
    std::filesystem::path canonical = std::filesystem::weakly_canonical(absolute, ec);
    return (ec ? absolute.lexically_normal() : canonical).string();
}

}  // namespace

std::vector<SongPlan> planSongs(const std::vector<std::filesystem::path>& inputs,
                                const CliOptions& options) {
    std::map<std::string, const std::filesystem::path*> inputKeys;
    for (const std::filesystem::path& input : inputs) inputKeys.emplace(identity(input), &input);

    std::vector<SongPlan> songs;
    std::map<std::string, std::size_t> writer;  // output key -> song that writes it
    for (const std::filesystem::path& input : inputs) {
        SongPlan song{
            input, planOutputs(input, options.outputFolder.value_or(input.parent_path()), options),
            std::nullopt};
        for (const PlannedOutput& out : song.outputs) {
            const std::string key = identity(out.path);
            if (auto hit = inputKeys.find(key); hit != inputKeys.end()) {
                song.refusal = "not separated: its output " + out.path.string() +
                               " would replace the input " + hit->second->string();
                break;
            }
            if (auto hit = writer.find(key); hit != writer.end()) {
                song.refusal = "not separated: " + songs[hit->second].input.string() + " and " +
                               input.string() + " would both write " + out.path.string();
                break;
            }
        }
        if (!song.refusal)
            for (const PlannedOutput& out : song.outputs)
                writer.emplace(identity(out.path), songs.size());
        songs.push_back(std::move(song));
    }
    return songs;
}

std::vector<std::filesystem::path> splitList(std::string_view text, bool nulSeparated) {
    std::vector<std::filesystem::path> paths;
    const char separator = nulSeparated ? '\0' : '\n';
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(separator), text.size());
        std::string_view entry = text.substr(0, end);
        if (!nulSeparated && entry.ends_with('\r')) entry.remove_suffix(1);
        if (!entry.empty()) paths.emplace_back(std::string(entry));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return paths;
}

}  // namespace corvane::cli
