// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Session.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "audio/AudioFileWriter.h"

namespace corvane::model {
namespace {

constexpr std::uint64_t kMiB = 1 << 20;

void fnv(std::uint64_t& h, const char* data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        h ^= static_cast<unsigned char>(data[i]);
        h *= 1099511628211ULL;
    }
}

QJsonValue optionalNumber(const std::optional<double>& v) {
    return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
}
std::optional<double> numberOrNothing(const QJsonValue& v) {
    return v.isDouble() ? std::optional<double>(v.toDouble()) : std::nullopt;
}

}  // namespace

std::variant<SongFingerprint, std::string> fingerprintOf(const std::filesystem::path& song) {
    std::ifstream in(song, std::ios::binary);
    std::error_code ec;
    const auto size = std::filesystem::file_size(song, ec);
    if (!in || ec) return std::string(ec ? ec.message() : std::strerror(errno));
    std::uint64_t h = 14695981039346656037ULL;
    std::vector<char> block(kMiB);
    in.read(block.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(size, kMiB)));
    fnv(h, block.data(), static_cast<std::size_t>(in.gcount()));
    if (size > kMiB) {
        const std::uint64_t tail = std::min<std::uint64_t>(size - kMiB, kMiB);
        in.seekg(static_cast<std::streamoff>(size - tail));
        in.read(block.data(), static_cast<std::streamsize>(tail));
        fnv(h, block.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) return std::string("Read error");
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return SongFingerprint{size, hex};
}

std::string sessionJson(const Session& s) {
    QJsonArray strips;
    for (const Strip& st : s.strips)
        strips.append(QJsonObject{{"stem", dsp::id(st.kind)},
                                  {"volume", st.volume},
                                  {"mute", st.mute},
                                  {"solo", st.solo}});
    QJsonArray markers;
    for (const Marker& m : s.markers)
        markers.append(QJsonObject{{"seconds", m.seconds},
                                   {"name", QString::fromStdString(m.name)},
                                   {"section", m.section}});
    const QJsonObject root{
        {"version", Session::kVersion},
        {"song", QJsonObject{{"path", QString::fromStdString(s.songPath.string())},
                             {"size", QString::number(s.fingerprint.size)},
                             {"hash", QString::fromStdString(s.fingerprint.hash)}}},
        {"method", s.method == dsp::SeparationMethod::refined ? "refined" : "standard"},
        {"strips", strips},
        {"tempo", s.tempo},
        {"semitones", s.semitones},
        {"loop",
         QJsonObject{{"start", s.loop.start}, {"end", s.loop.end}, {"enabled", s.loop.enabled}}},
        {"markers", markers},
        {"grid", QJsonObject{{"tappedBpm", optionalNumber(s.grid.tappedBpm)},
                             {"tempoPower", s.grid.tempoPower},
                             {"nudgeSeconds", s.grid.nudgeSeconds},
                             {"firstDownbeat", optionalNumber(s.grid.firstDownbeat)}}},
        {"click", QJsonObject{{"volume", s.clickVolume},
                              {"muted", s.clickMuted},
                              {"countInBars", s.countInBars},
                              {"countInEachPass", s.countInEachPass}}},
        {"trainer", QJsonObject{{"on", s.trainerOn},
                                {"startPercent", s.trainer.startPercent},
                                {"stepPercent", s.trainer.stepPercent},
                                {"passesPerStep", s.trainer.passesPerStep},
                                {"targetPercent", s.trainer.targetPercent},
                                {"stopAtTarget", s.trainer.stopAtTarget}}},
        {"zoom", s.zoom}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
}

std::variant<Session, std::string> parseSession(const std::string& json) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    if (doc.isNull()) return "not a session file (" + error.errorString().toStdString() + ")";
    const QJsonObject root = doc.object();
    if (!root.value("version").isDouble()) return std::string("not a session file");
    if (root.value("version").toInt() > Session::kVersion)
        return std::string("made by a newer Corvane");
    const QJsonObject song = root.value("song").toObject();
    bool sizeOk = false;
    Session s;
    s.songPath = song.value("path").toString().toStdString();
    s.fingerprint = {song.value("size").toString().toULongLong(&sizeOk),
                     song.value("hash").toString().toStdString()};
    if (s.songPath.empty() || !sizeOk) return std::string("it names no song");
    s.method = root.value("method").toString() == "refined" ? dsp::SeparationMethod::refined
                                                            : dsp::SeparationMethod::standard;
    for (const QJsonValue v : root.value("strips").toArray()) {
        const QJsonObject o = v.toObject();
        const auto kind = dsp::stemKindFromRaw(o.value("stem").toInt(-1));
        if (!kind) return std::string("a strip names no stem");
        s.strips.push_back({*kind, static_cast<float>(o.value("volume").toDouble(1.0)),
                            o.value("solo").toBool(), o.value("mute").toBool()});
    }
    s.tempo = root.value("tempo").toDouble(1.0);
    s.semitones = root.value("semitones").toDouble(0.0);
    const QJsonObject loop = root.value("loop").toObject();
    s.loop = {loop.value("start").toDouble(), loop.value("end").toDouble(),
              loop.value("enabled").toBool()};
    for (const QJsonValue v : root.value("markers").toArray()) {
        const QJsonObject o = v.toObject();
        s.markers.push_back({o.value("seconds").toDouble(),
                             o.value("name").toString().toStdString(),
                             o.value("section").toBool()});
    }
    const QJsonObject grid = root.value("grid").toObject();
    s.grid = {numberOrNothing(grid.value("tappedBpm")), grid.value("tempoPower").toInt(),
              grid.value("nudgeSeconds").toDouble(), numberOrNothing(grid.value("firstDownbeat"))};
    const QJsonObject click = root.value("click").toObject();
    s.clickVolume = static_cast<float>(click.value("volume").toDouble(1.0));
    s.clickMuted = click.value("muted").toBool(true);
    s.countInBars = click.value("countInBars").toInt();
    s.countInEachPass = click.value("countInEachPass").toBool();  // false in files from before it
    const QJsonObject t = root.value("trainer").toObject();
    s.trainerOn = t.value("on").toBool();
    s.trainer = {t.value("startPercent").toDouble(60), t.value("stepPercent").toDouble(5),
                 t.value("passesPerStep").toInt(2), t.value("targetPercent").toDouble(100),
                 t.value("stopAtTarget").toBool()};
    s.zoom = root.value("zoom").toDouble(1.0);
    if (!std::isfinite(s.tempo) || !std::isfinite(s.semitones) || !std::isfinite(s.zoom))
        return std::string("a value is out of range");
    return s;
}

std::optional<std::string> saveSession(const std::filesystem::path& to, const Session& session) {
    if (auto error = audio::writeTextFiles({{to, sessionJson(session)}}))
        return "Cannot save session: " + error->description;
    return std::nullopt;
}

std::variant<Session, std::string> readSession(const std::filesystem::path& from) {
    const std::string prefix = "Cannot open session " + from.filename().string() + ": ";
    std::error_code ec;
    if (std::filesystem::is_directory(from, ec)) return prefix + "it is a folder";
    std::ifstream in(from, std::ios::binary);
    if (!in) return prefix + std::strerror(errno);
    std::ostringstream text;
    text << in.rdbuf();
    auto parsed = parseSession(text.str());
    if (auto* why = std::get_if<std::string>(&parsed)) return prefix + *why;
    return parsed;
}

SongCheck checkSong(const std::filesystem::path& song, const SongFingerprint& expected) {
    const auto found = fingerprintOf(song);
    if (std::holds_alternative<std::string>(found)) return SongCheck::missing;
    return std::get<SongFingerprint>(found) == expected ? SongCheck::same : SongCheck::changed;
}

}  // namespace corvane::model
