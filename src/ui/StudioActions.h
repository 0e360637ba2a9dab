// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "model/StudioModel.h"

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace corvane::ui {

class GridCommands;
class Timeline;

// Every command of the window as a QAction with its shortcut, and the menu bar that lists them
// all (File, Playback, Markers, Mixer, View, Help), so the keyboard reaches whatever a button does
// and every shortcut is written beside its command. The actions live on the window: their shortcuts
// work from any control in it, a focused slider's own arrow keys excepted. Commands that need a
// song are disabled without one. Named for tests: each action's objectName is its command
// ("openAction", "playAction", "loopStartAction", …). Main thread.
class StudioActions : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void()> open;           // the open dialog
        std::function<void()> toggleKaraoke;  // the vocals strip's mute
        std::function<void()> saveSession;    // the session's save dialog
    };
    StudioActions(model::StudioModel& model, QWidget& window, Timeline& timeline, Hooks hooks);

    QMenuBar* makeMenuBar(QWidget* parent);
    // The action called `name` (its objectName), or null.
    QAction* action(const QString& name) const;
    // Every command and its keys, one per line, in menu order: the Keyboard Shortcuts text.
    QString shortcutList() const;

    // Seconds a nudge moves the playhead (",", "."), and a seek step (Left, Right).
    static constexpr double kNudgeSeconds = 0.1;
    static constexpr double kSeekSeconds = 5.0;

private:
    struct Menu {
        QString title;
        std::vector<QAction*> actions;  // null for a separator
    };
    QAction* add(Menu& menu, const QString& name, const QString& text,
                 const QList<QKeySequence>& keys, std::function<void()> run);
    void addFileMenu();
    void addPlaybackMenu();
    void addPracticeCommands(Menu& menu);
    void addMarkersMenu();
    void addMixerMenu();
    void addViewMenu();
    void addHelpMenu();
    void stepTempo(int percent);
    void stepPitch(int semitones);
    // The loop moved (or its end moved) by `bars`; without a loop, the bar at the playhead.
    void loopByBars(int bars, bool resize);
    void jumpToMarker(bool next);
    void renameMarker();
    void removeMarker();
    // The marker at the playhead or the last one before it.
    std::optional<int> markerAtPlayhead() const;
    // Playback > Count-in: none, one bar or two.
    QMenu* makeCountInMenu(QWidget* parent);
    void showShortcuts();
    // Playback > Output Device: the system's default and every output it lists, listed afresh
    // each time the menu opens (a headset plugged in meanwhile shows up).
    QMenu* makeOutputMenu(QWidget* parent);
    void sync();

    model::StudioModel& m_model;
    QWidget& m_window;
    Timeline& m_timeline;
    Hooks m_hooks;
    std::vector<Menu> m_menus;
    std::vector<QAction*> m_songActions;  // enabled only with a song in the studio
    QAction* m_loop = nullptr;
    QAction* m_escape = nullptr;
    QAction* m_refined = nullptr;
    QAction* m_open = nullptr;
    QAction* m_exportMap = nullptr;
    QAction* m_click = nullptr;
    GridCommands* m_grid = nullptr;  // Playback ▸ Beat Grid
};

}  // namespace corvane::ui
