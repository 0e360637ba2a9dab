// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "analysis/SongMap.h"

namespace corvane::model {

// A named place in the song, in seconds; a section of the song map is one too.
struct Marker {
    double seconds = 0.0;
    std::string name;
    bool section = false;
    bool operator==(const Marker&) const = default;
};

// The song's markers, kept in time order. Indices are into all(), valid until the next change.
// Main thread (a plain value).
class Markers {
public:
    // Two places closer than this are one for next() and previous().
    static constexpr double kSameSeconds = 0.001;

    // Adds a marker at `seconds` (not below 0); an empty name becomes "Marker N", N one more than
    // the markers added so far. Returns its index.
    int add(double seconds, std::string name = {});
    // False for an index out of range; an empty name keeps the old one.
    bool rename(int index, std::string name);
    bool remove(int index);
    // The first marker after `seconds`, the last one before it.
    std::optional<int> next(double seconds) const;
    std::optional<int> previous(double seconds) const;
    // The map's sections as markers at their starts, named by their labels, replacing the
    // section markers there were; the person's own stay.
    void setSections(const std::vector<analysis::Section>& sections);
    // Replaces everything (a session restored); sorted on the way in.
    void assign(std::vector<Marker> markers);

    const std::vector<Marker>& all() const { return m_markers; }
    bool operator==(const Markers&) const = default;

private:
    int insert(Marker marker);
    std::vector<Marker> m_markers;
    int m_added = 0;
};

}  // namespace corvane::model
