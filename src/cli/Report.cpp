// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Report.h"

#include <cerrno>

#include "audio/DisplayText.h"
#include "cli/Json.h"
#include "cli/Signals.h"

namespace corvane::cli {

namespace {

std::string shown(const std::filesystem::path& path) {
    return audio::escapeControlCharacters(path.string());
}

// Whole numbers from 10 up; one decimal below, where the difference still tells something.
std::string formatFactor(double factor) {
    char text[32];
    std::snprintf(text, sizeof text, factor >= 10.0 ? "%.0f×" : "%.1f×", factor);
    return text;
}

}  // namespace

Report::Report(const CliOptions& options, std::FILE* out, std::FILE* err)
    : m_options(options), m_out(out), m_err(err) {}

std::string Report::stemCount() const {
    const std::size_t n = m_options.stems.size();
    return std::to_string(n) + (n == 1 ? " stem" : " stems");
}

void Report::song(const SongPlan& plan, const SongOutcome& outcome, double seconds) {
    using Status = SongOutcome::Status;
    if (outcome.status == Status::cancelled) return;  // unfinished() says it
    const std::lock_guard lock(m_mutex);
    const std::string name = shown(plan.input);
    switch (outcome.status) {
        case Status::done:
            ++m_done;
            m_audioSeconds += outcome.audioSeconds;
            std::fprintf(m_err, "%s: %s%s%s%s in %.2f s\n", name.c_str(), stemCount().c_str(),
                         m_options.instrumental ? " and the instrumental" : "",
                         m_options.map ? " and the map" : "",
                         outcome.note.empty() ? "" : (" (" + outcome.note + ")").c_str(),
                         seconds);
            break;
        case Status::skipped:
            ++m_done;
            ++m_skipped;
            std::fprintf(m_err, "%s: %s\n", name.c_str(),
                         audio::escapeControlCharacters(outcome.error).c_str());
            break;
        default:
            ++m_failed;
            std::fprintf(m_err, "%s: %s\n", name.c_str(),
                         audio::escapeControlCharacters(outcome.error).c_str());
            break;
    }
    std::fflush(m_err);
    if (!m_options.json) return;
    json(plan,
         outcome.status == Status::done      ? "done"
         : outcome.status == Status::skipped ? "skipped"
                                             : "failed",
         &outcome, seconds);
}

void Report::unfinished(const SongPlan& plan, bool started) {
    const std::lock_guard lock(m_mutex);
    if (m_options.json) json(plan, started ? "interrupted" : "not started", nullptr, 0.0);
}

void Report::json(const SongPlan& plan, const char* status, const SongOutcome* outcome,
                  double seconds) {
    using Status = SongOutcome::Status;
    std::string line = "{\"input\":" + jsonString(plan.input.string()) + ",\"status\":\"" +
                       status + "\",\"outputs\":[";
    if (outcome && outcome->status != Status::failed)
        for (std::size_t i = 0; i < plan.outputs.size(); ++i)
            line += (i ? "," : "") + jsonString(plan.outputs[i].path.string());
    char number[32];
    std::snprintf(number, sizeof number, "%.3f", seconds);
    line += std::string("],\"seconds\":") + number + ",\"error\":";
    line += outcome && outcome->status == Status::failed ? jsonString(outcome->error) : "null";
    line += "}\n";
    errno = 0;
    if (std::fputs(line.c_str(), m_out) == EOF || std::fflush(m_out) == EOF) {
        // Nobody reads the results any more: the run stops the way an interruption does.
        if (errno == EPIPE) requestStop(kExitOutputClosed);
    }
}

void Report::summary() const {
    const std::lock_guard lock(m_mutex);
    const int files = m_done + m_failed;
    const char* noun = files == 1 ? "file" : "files";
    const int separated = m_done - m_skipped;
    const std::string skipped =
        m_skipped == 0 ? "" : " (" + std::to_string(m_skipped) + " already done)";
    const std::string failed = m_failed == 0 ? "" : "; " + std::to_string(m_failed) + " failed";
    const std::string count = m_failed == 0 ? std::to_string(m_done) + " " + noun
                                            : std::to_string(m_done) + " of " +
                                                  std::to_string(files) + " " + noun;
    if (separated == 0) {
        // Nothing was separated: no audio, no time and no speed to speak of.
        std::fprintf(m_err, "Separated %s%s%s\n", count.c_str(), skipped.c_str(), failed.c_str());
        return;
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    const std::string factor = formatFactor(wall > 0.0 ? m_audioSeconds / wall : 0.0);
    const std::string audio = audio::formatDuration(m_audioSeconds);
    std::fprintf(m_err, "Separated %s%s (%s of audio) in %.2f s, %s real time%s\n", count.c_str(),
                 skipped.c_str(), audio.c_str(), wall, factor.c_str(), failed.c_str());
}

int Report::exitStatus() const {
    const std::lock_guard lock(m_mutex);
    return m_failed == 0 ? 0 : 1;
}

}  // namespace corvane::cli
