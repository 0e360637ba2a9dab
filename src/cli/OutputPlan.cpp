// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/OutputPlan.h"

#include <map>
#include <system_error>

#include "audio/AudioFormat.h"

namespace corvane::cli {

namespace fs = std::filesystem;

std::string trackName(const fs::path& input) {
    const std::string name = input.filename().string();
    const std::size_t dot = name.rfind('.');
    const std::string track = dot != std::string::npos && dot > 0 ? name.substr(0, dot) : name;
    return track.find_first_not_of('.') == std::string::npos ? name : track;
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

std::vector<PlannedOutput> planOutputs(const fs::path& input, const fs::path& folder,
                                       const CliOptions& options) {
    const std::string track = trackName(input);
    const std::string_view ext = audio::extension(options.encode.format);
    auto at = [&](std::string_view stem, std::string_view extension) {
        const fs::path name(expandTemplate(options.nameTemplate, track, stem, extension));
        return folder.empty() ? name : folder / name;
    };
    std::vector<PlannedOutput> plan;
    for (dsp::StemKind kind : options.stems) plan.push_back({at(dsp::title(kind), ext), kind});
    if (options.instrumental) plan.push_back({at(kInstrumentalSuffix, ext), std::nullopt});
    if (options.map) plan.push_back({at(kMapSuffix, kMapExtension), std::nullopt, true});
    return plan;
}

namespace {

// The same file gives the same key however it was named ("./a.wav", "dir/../a.wav", a link).
std::string identity(const fs::path& p) {
    std::error_code ec;
    fs::path absolute = fs::absolute(p, ec);
    if (ec) absolute = p;
    fs::path canonical = fs::weakly_canonical(absolute, ec);
    return (ec ? absolute.lexically_normal() : canonical).string();
}

bool allExist(const std::vector<PlannedOutput>& outputs) {
    std::error_code ec;
    for (const PlannedOutput& o : outputs)
        if (!fs::is_regular_file(o.path, ec)) return false;
    return true;
}

}  // namespace

std::vector<SongPlan> planSongs(const std::vector<fs::path>& inputs, const CliOptions& options) {
    using Verdict = SongPlan::Verdict;
    std::vector<SongPlan> songs;
    std::vector<std::vector<std::string>> keys;  // per song, its outputs' identities
    std::map<std::string, std::size_t> outputOf;  // output identity -> first song planning it
    for (const fs::path& input : inputs) {
        SongPlan song;
        song.input = input;
        song.outputs =
            planOutputs(input, options.outputFolder.value_or(input.parent_path()), options);
        if (options.skipExisting && allExist(song.outputs)) {
            song.verdict = Verdict::skip;
            song.why = "skipped, its files exist";
        }
        keys.emplace_back();
        for (const PlannedOutput& out : song.outputs) {
            keys.back().push_back(identity(out.path));
            outputOf.emplace(keys.back().back(), songs.size());
        }
        songs.push_back(std::move(song));
    }

    // Inputs that this run writes are never read: they are skipped before anything else.
    std::map<std::string, std::size_t> readInputs;  // input identity -> song
    for (std::size_t i = 0; i < songs.size(); ++i) {
        SongPlan& song = songs[i];
        const std::string key = identity(song.input);
        const auto hit = outputOf.find(key);
        if (song.verdict == Verdict::run && hit != outputOf.end() && hit->second != i) {
            song.verdict = Verdict::skip;
            song.why = "skipped, it is an output of " + songs[hit->second].input.string();
        }
        if (song.verdict == Verdict::run) readInputs.emplace(key, i);
    }

    std::map<std::string, std::size_t> written;  // output identity -> song that writes it
    for (std::size_t i = 0; i < songs.size(); ++i) {
        SongPlan& song = songs[i];
        if (song.verdict != Verdict::run) continue;
        std::map<std::string, std::size_t> own;
        for (std::size_t o = 0; o < song.outputs.size() && song.verdict == Verdict::run; ++o) {
            const std::string& key = keys[i][o];
            const fs::path& path = song.outputs[o].path;
            auto refuse = [&](std::string why) {
                song.verdict = Verdict::refuse;
                song.why = "not separated: " + std::move(why);
            };
            if (auto hit = own.find(key); hit != own.end())
                refuse("its outputs " + song.outputs[hit->second].path.string() + " and " +
                       path.string() + " are the same file");
            else if (auto input = readInputs.find(key); input != readInputs.end())
                refuse("its output " + path.string() + " would replace the input " +
                       songs[input->second].input.string());
            else if (auto other = written.find(key); other != written.end())
                refuse(songs[other->second].input.string() + " and " + song.input.string() +
                       " would both write " + path.string());
            own.emplace(key, o);
        }
        if (song.verdict == Verdict::run)
            for (const std::string& key : keys[i]) written.emplace(key, i);
    }
    return songs;
}

}  // namespace corvane::cli
