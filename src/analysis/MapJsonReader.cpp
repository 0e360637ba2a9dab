// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a song map back from its JSON (MapFormats.h).
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/MapFormats.h"

namespace corvane::analysis {

namespace {

// A small JSON parser (RFC 8259 values; numbers as doubles), depth-limited so that
// hostile input cannot exhaust the stack.

struct Json {
    enum class Type { null, boolean, number, string, array, object } type = Type::null;
    bool boolean = false;
    double number = 0.0;
    std::string string;
    std::vector<Json> array;
    std::vector<std::pair<std::string, Json>> object;

    const Json* member(std::string_view name) const {
        for (const auto& [k, v] : object)
            if (k == name) return &v;
        return nullptr;
    }
};

class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    // The document's one value, or absent with `error()` saying why.
    std::optional<Json> document() {
        Json v;
        if (!value(v, 0)) return std::nullopt;
        skipSpace();
        if (m_pos != m_text.size()) return fail("text after the end of the JSON value");
        return v;
    }
    const std::string& error() const { return m_error; }

private:
    static constexpr int kMaxDepth = 32;

    std::nullopt_t fail(std::string why) {
        if (m_error.empty()) m_error = std::move(why) + " at byte " + std::to_string(m_pos);
        return std::nullopt;
    }
    void skipSpace() {
        while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' ||
                                         m_text[m_pos] == '\n' || m_text[m_pos] == '\r'))
            ++m_pos;
    }
    bool literal(std::string_view word) {
        if (m_text.substr(m_pos, word.size()) != word) return false;
        m_pos += word.size();
        return true;
    }

    bool value(Json& out, int depth) {
        if (depth > kMaxDepth) return (fail("nested too deeply"), false);
        skipSpace();
        if (m_pos >= m_text.size()) return (fail("unexpected end of the text"), false);
        const char c = m_text[m_pos];
        if (c == '{') return object(out, depth);
        if (c == '[') return array(out, depth);
        if (c == '"') {
            out.type = Json::Type::string;
            return string(out.string);
        }
        if (literal("null")) {
            out.type = Json::Type::null;
            return true;
        }
        if (literal("true") || literal("false")) {
            out.type = Json::Type::boolean;
            out.boolean = m_text[m_pos - 2] == 'u';
            return true;
        }
        return number(out);
    }

    bool number(Json& out) {
        const std::size_t start = m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] == '-') ++m_pos;
        while (m_pos < m_text.size() &&
               (std::isdigit(static_cast<unsigned char>(m_text[m_pos])) || m_text[m_pos] == '.' ||
                m_text[m_pos] == 'e' || m_text[m_pos] == 'E' || m_text[m_pos] == '+' ||
                m_text[m_pos] == '-'))
            ++m_pos;
        double v = 0.0;
        const char* first = m_text.data() + start;
        const char* last = m_text.data() + m_pos;
        const auto [end, ec] = std::from_chars(first, last, v);
        if (start == m_pos || ec != std::errc() || end != last || !std::isfinite(v)) {
            m_pos = start;
            return (fail("not a JSON value"), false);
        }
        out.type = Json::Type::number;
        out.number = v;
        return true;
    }

    bool string(std::string& out) {
        ++m_pos;  // the opening quote
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return (fail("control character in a string"), false);
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size()) break;
            const char e = m_text[m_pos++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned code = 0;
                    if (m_pos + 4 > m_text.size()) return (fail("short \\u escape"), false);
                    const auto [p, ec] =
                        std::from_chars(m_text.data() + m_pos, m_text.data() + m_pos + 4, code, 16);
                    if (ec != std::errc() || p != m_text.data() + m_pos + 4)
                        return (fail("bad \\u escape"), false);
                    m_pos += 4;
                    // Labels are ASCII; anything else is kept as UTF-8 of the code unit.
                    if (code < 0x80) {
                        out += static_cast<char>(code);
                    } else if (code < 0x800) {
                        out += static_cast<char>(0xC0 | (code >> 6));
                        out += static_cast<char>(0x80 | (code & 0x3F));
                    } else {
                        out += static_cast<char>(0xE0 | (code >> 12));
                        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                        out += static_cast<char>(0x80 | (code & 0x3F));
                    }
                    break;
                }
                default:
                    return (fail("bad escape in a string"), false);
            }
        }
        return (fail("unterminated string"), false);
    }

    bool array(Json& out, int depth) {
        out.type = Json::Type::array;
        ++m_pos;
        skipSpace();
        if (m_pos < m_text.size() && m_text[m_pos] == ']') {
            ++m_pos;
            return true;
        }
        while (true) {
            out.array.emplace_back();
            if (!value(out.array.back(), depth + 1)) return false;
            skipSpace();
            if (m_pos < m_text.size() && m_text[m_pos] == ',') {
                ++m_pos;
                continue;
            }
            if (m_pos < m_text.size() && m_text[m_pos] == ']') {
                ++m_pos;
                return true;
            }
            return (fail("expected ',' or ']'"), false);
        }
    }

    bool object(Json& out, int depth) {
        out.type = Json::Type::object;
        ++m_pos;
        skipSpace();
        if (m_pos < m_text.size() && m_text[m_pos] == '}') {
            ++m_pos;
            return true;
        }
        while (true) {
            skipSpace();
            if (m_pos >= m_text.size() || m_text[m_pos] != '"')
                return (fail("expected a member name"), false);
            std::string name;
            if (!string(name)) return false;
            skipSpace();
            if (m_pos >= m_text.size() || m_text[m_pos] != ':')
                return (fail("expected ':'"), false);
            ++m_pos;
            Json v;
            if (!value(v, depth + 1)) return false;
            out.object.emplace_back(std::move(name), std::move(v));
            skipSpace();
            if (m_pos < m_text.size() && m_text[m_pos] == ',') {
                ++m_pos;
                continue;
            }
            if (m_pos < m_text.size() && m_text[m_pos] == '}') {
                ++m_pos;
                return true;
            }
            return (fail("expected ',' or '}'"), false);
        }
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
    std::string m_error;
};

// Field access with one-line complaints.
class Reader {
public:
    std::optional<std::string> error;

    const Json* field(const Json& object, std::string_view name, Json::Type type,
                      std::string_view where, bool nullable = false) {
        if (error) return nullptr;
        const Json* v = object.member(name);
        if (!v) return complain(where, name, "is missing");
        if (nullable && v->type == Json::Type::null) return v;
        if (v->type != type) return complain(where, name, "has the wrong type");
        return v;
    }
    std::optional<double> time(const Json& object, std::string_view name, std::string_view where) {
        const Json* v = field(object, name, Json::Type::number, where);
        if (!v) return std::nullopt;
        if (v->number < 0.0) return complain(where, name, "is negative"), std::nullopt;
        return v->number;
    }
    std::optional<int> count(const Json& object, std::string_view name, std::string_view where,
                             int least) {
        const Json* v = field(object, name, Json::Type::number, where);
        if (!v) return std::nullopt;
        if (v->number != std::floor(v->number) || v->number < least || v->number > 1e9)
            return complain(where, name, "is not a whole number in range"), std::nullopt;
        return static_cast<int>(v->number);
    }
    std::nullptr_t complain(std::string_view where, std::string_view name, std::string_view what) {
        if (!error)
            error = std::string(where) + "\"" + std::string(name) + "\" " + std::string(what);
        return nullptr;
    }
};

}  // namespace

std::variant<SongMap, MapReadError> fromJson(const std::string& text) {
    auto bad = [](const std::string& why) { return MapReadError{"Not a song map: " + why}; };
    Parser parser(text);
    const std::optional<Json> doc = parser.document();
    if (!doc) return bad(parser.error());
    if (doc->type != Json::Type::object) return bad("the JSON is not an object");

    Reader r;
    SongMap map;
    const Json* tempo = r.field(*doc, "tempo_bpm", Json::Type::number, "", true);
    const Json* perBar = r.field(*doc, "beats_per_bar", Json::Type::number, "", true);
    const Json* beats = r.field(*doc, "beats", Json::Type::array, "");
    const Json* key = r.field(*doc, "key", Json::Type::string, "", true);
    const Json* chords = r.field(*doc, "chords", Json::Type::array, "");
    const Json* sections = r.field(*doc, "sections", Json::Type::array, "");
    if (r.error) return bad(*r.error);

    map.steadyBeat = tempo->type == Json::Type::number;
    if (map.steadyBeat != (perBar->type == Json::Type::number))
        return bad("\"tempo_bpm\" and \"beats_per_bar\" must both be numbers or both null");
    if (map.steadyBeat) {
        if (!(tempo->number > 0.0)) return bad("\"tempo_bpm\" is not positive");
        map.tempoBpm = tempo->number;
        map.beatsPerBar = r.count(*doc, "beats_per_bar", "", 1).value_or(0);
        if (r.error) return bad(*r.error);
    } else if (!beats->array.empty()) {
        return bad("beats are listed but \"tempo_bpm\" is null");
    }

    double previous = -1.0;
    for (const Json& b : beats->array) {
        if (b.type != Json::Type::object) return bad("a beat is not an object");
        const std::optional<double> t = r.time(b, "time", "a beat's ");
        const std::optional<int> bar = r.count(b, "bar", "a beat's ", 1);
        const std::optional<int> beat = r.count(b, "beat", "a beat's ", 1);
        if (r.error) return bad(*r.error);
        if (*t <= previous) return bad("beat times do not rise");
        if (*beat > map.beatsPerBar) return bad("a beat's number exceeds \"beats_per_bar\"");
        previous = *t;
        map.beats.push_back(Beat{*t, *bar, *beat});
    }

    if (key->type == Json::Type::string) {
        map.key = parseKeyName(key->string);
        if (!map.key) return bad("unknown key \"" + key->string + "\"");
    }

    auto span = [&](const Json& item, std::string_view what, double& start, double& end,
                    std::string& label, double& last) -> std::optional<MapReadError> {
        if (item.type != Json::Type::object) return bad(std::string(what) + " is not an object");
        const std::string where = std::string(what) + "'s ";
        const std::optional<double> s = r.time(item, "start", where);
        const std::optional<double> e = r.time(item, "end", where);
        const Json* l = r.field(item, "label", Json::Type::string, where);
        if (r.error) return bad(*r.error);
        if (*e <= *s || *s < last) return bad(std::string(what) + " times are out of order");
        start = *s;
        end = *e;
        label = l->string;
        last = *e;
        return std::nullopt;
    };
    double last = 0.0;
    for (const Json& item : chords->array) {
        Chord c;
        std::string label;
        if (auto e = span(item, "a chord", c.start, c.end, label, last)) return *e;
        const std::optional<ChordName> name = parseChordLabel(label);
        if (!name) return bad("unknown chord label \"" + label + "\"");
        c.root = name->root;
        c.quality = name->quality;
        map.chords.push_back(c);
    }
    map.durationSeconds = last;
    last = 0.0;
    for (const Json& item : sections->array) {
        Section s;
        if (auto e = span(item, "a section", s.start, s.end, s.label, last)) return *e;
        map.sections.push_back(std::move(s));
    }
    map.durationSeconds = std::max(map.durationSeconds, last);
    return map;
}

}  // namespace corvane::analysis
