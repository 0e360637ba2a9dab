// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <vector>

#include "model/BeatGrid.h"
#include "model/StudioModel.h"

class QAction;
class QMenu;
class QWidget;

namespace corvane::ui {

// The beat grid's corrections as window commands, listed in Playback ▸ Beat Grid: the first
// downbeat at the playhead (D), the tempo halved or doubled, the grid nudged earlier or later by
// kNudgeSeconds (Ctrl+, and Ctrl+.), the tempo tapped (T), and the grid as analysed again. Each
// goes through PracticeModel::setGridEdits, so it is kept in a session and marks it changed; the
// status row says what it did, or why nothing changed (no beats known yet). The actions live on
// the window like every other command, named for tests ("firstDownbeatAction", "halveTempoAction",
// "doubleTempoAction", "nudgeGridEarlierAction", "nudgeGridLaterAction", "tapTempoAction",
// "resetGridAction"), each with a tooltip naming its key. Main thread.
class GridCommands : public QObject {
    Q_OBJECT
public:
    static constexpr double kNudgeSeconds = 0.01;
    // Halving or doubling goes at most this many times either way (a quarter to four times the
    // tempo found): beyond that the map's beats are no longer the song's.
    static constexpr int kMaxTempoPower = 2;

    GridCommands(model::StudioModel& model, QWidget& window, QObject* parent);

    // The submenu, made once for the menu bar.
    QMenu* makeMenu(QWidget* parent);
    const std::vector<QAction*>& actions() const { return m_actions; }

    // A tap of the tempo at `seconds` on a steady clock (the T key gives the time since the
    // window opened). Taps follow what is heard: at 80 % tempo, a tapped 96 bpm is the song's 120.
    void tap(double seconds);

private:
    QAction* add(const char* name, const QString& text, const QKeySequence& key, const QString& tip,
                 void (GridCommands::*run)());
    // False (and the status row says why) while there are no beats to correct.
    bool hasGrid();
    void edit(const model::GridEdits& edits, const QString& said);
    QString gridTempo() const;

    void setFirstDownbeat();
    void halveTempo();
    void doubleTempo();
    void nudgeEarlier();
    void nudgeLater();
    void nudge(double seconds);
    void tapNow();
    void reset();

    model::StudioModel& m_model;
    QWidget& m_window;
    std::vector<QAction*> m_actions;
    model::TapTempo m_taps;
    QElapsedTimer m_clock;
};

}  // namespace corvane::ui
