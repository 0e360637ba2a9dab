// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/GridCommands.h"

#include <QAction>
#include <QMenu>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "model/MapText.h"
#include "ui/TimeString.h"

namespace corvane::ui {

GridCommands::GridCommands(model::StudioModel& model, QWidget& window, QObject* parent)
    : QObject(parent), m_model(model), m_window(window) {
    m_clock.start();
    add("firstDownbeatAction", tr("Set First &Downbeat at Playhead"), QKeySequence(Qt::Key_D),
        tr("Make the beat nearest the playhead the first beat of a bar; the bars are counted "
           "from there"),
        &GridCommands::setFirstDownbeat);
    add("halveTempoAction", tr("&Halve Tempo"), {},
        tr("Keep every other beat of the grid, for a map that found twice the song's tempo"),
        &GridCommands::halveTempo);
    add("doubleTempoAction", tr("D&ouble Tempo"), {},
        tr("Put a beat between every two of the grid, for a map that found half the song's "
           "tempo"),
        &GridCommands::doubleTempo);
    add("nudgeGridEarlierAction", tr("Nudge Grid &Earlier"), QKeySequence(Qt::CTRL | Qt::Key_Comma),
        tr("Move every beat of the grid 10 ms earlier"), &GridCommands::nudgeEarlier);
    add("nudgeGridLaterAction", tr("Nudge Grid &Later"), QKeySequence(Qt::CTRL | Qt::Key_Period),
        tr("Move every beat of the grid 10 ms later"), &GridCommands::nudgeLater);
    QAction* tap = add("tapTempoAction", tr("&Tap Tempo"), QKeySequence(Qt::Key_T),
                       tr("Tap on each beat you hear; from the second tap the grid takes that "
                          "tempo, steady from its first downbeat"),
                       &GridCommands::tapNow);
    tap->setAutoRepeat(false);  // a held key is one tap, not a burst at the repeat rate
    add("resetGridAction", tr("&Reset Grid"), {},
        tr("The grid as the song map found it: no downbeat, tempo, nudge or tap corrections"),
        &GridCommands::reset);
}

QAction* GridCommands::add(const char* name, const QString& text, const QKeySequence& key,
                           const QString& tip, void (GridCommands::*run)()) {
    auto* action = new QAction(text, this);
    action->setObjectName(QString::fromLatin1(name));
    action->setToolTip(
        key.isEmpty() ? tip
                      : QStringLiteral("%1 (%2)").arg(tip, key.toString(QKeySequence::NativeText)));
    action->setStatusTip(action->toolTip());
    if (!key.isEmpty()) action->setShortcut(key);
    action->setShortcutContext(Qt::WindowShortcut);
    connect(action, &QAction::triggered, this, run);
    // On the window, as every command is, so the key works whether the menu bar shows or not.
    m_window.addAction(action);
    m_actions.push_back(action);
    return action;
}

QMenu* GridCommands::makeMenu(QWidget* parent) {
    auto* menu = new QMenu(tr("&Beat Grid"), parent);
    menu->setObjectName(QStringLiteral("beatGridMenu"));
    menu->setToolTipsVisible(true);  // they name the keys and say what each correction does
    for (QAction* a : m_actions) {
        if (a->objectName() == QLatin1String("nudgeGridEarlierAction") ||
            a->objectName() == QLatin1String("resetGridAction"))
            menu->addSeparator();
        menu->addAction(a);
    }
    return menu;
}

bool GridCommands::hasGrid() {
    if (!m_model.practice().beats().empty()) return true;
    m_model.showStatus(m_model.songMap() ? tr("The song map found no steady beat to correct.")
                                         : tr("The grid can be corrected once the song's beats "
                                              "are known."));
    return false;
}

void GridCommands::edit(const model::GridEdits& edits, const QString& said) {
    m_model.practice().setGridEdits(edits);
    m_model.showStatus(said);
}

QString GridCommands::gridTempo() const {
    return tr("%1 bpm").arg(std::lround(m_model.practice().griddedMap().tempoBpm));
}

void GridCommands::setFirstDownbeat() {
    if (!hasGrid()) return;
    model::GridEdits edits = m_model.practice().gridEdits();
    edits.firstDownbeat = m_model.position();
    m_model.practice().setGridEdits(edits);
    // The beat that became the downbeat: the one nearest the playhead.
    const double beat = model::snapToBeat(m_model.practice().beats(), m_model.position());
    m_model.showStatus(tr("Bars now start on the beat at %1.").arg(timeStringTenths(beat)));
}

void GridCommands::halveTempo() {
    if (!hasGrid()) return;
    model::GridEdits edits = m_model.practice().gridEdits();
    if (edits.tempoPower <= -kMaxTempoPower) {
        m_model.showStatus(tr("The grid's tempo is halved as far as it goes."));
        return;
    }
    --edits.tempoPower;
    m_model.practice().setGridEdits(edits);
    m_model.showStatus(tr("Grid tempo halved: %1.").arg(gridTempo()));
}

void GridCommands::doubleTempo() {
    if (!hasGrid()) return;
    model::GridEdits edits = m_model.practice().gridEdits();
    if (edits.tempoPower >= kMaxTempoPower) {
        m_model.showStatus(tr("The grid's tempo is doubled as far as it goes."));
        return;
    }
    ++edits.tempoPower;
    m_model.practice().setGridEdits(edits);
    m_model.showStatus(tr("Grid tempo doubled: %1.").arg(gridTempo()));
}

void GridCommands::nudgeEarlier() { nudge(-kNudgeSeconds); }

void GridCommands::nudgeLater() { nudge(kNudgeSeconds); }

void GridCommands::nudge(double seconds) {
    if (!hasGrid()) return;
    model::GridEdits edits = m_model.practice().gridEdits();
    // Whole milliseconds, so that steps there and back come to exactly none.
    const long ms = std::lround((edits.nudgeSeconds + seconds) * 1000.0);
    edits.nudgeSeconds = static_cast<double>(ms) / 1000.0;
    QString said;
    if (ms == 0)
        said = tr("The grid is where the song map put it.");
    else
        said = (ms > 0 ? tr("The grid is %1 ms later than the song map put it.")
                       : tr("The grid is %1 ms earlier than the song map put it."))
                   .arg(std::labs(ms));
    edit(edits, said);
}

void GridCommands::tapNow() { tap(static_cast<double>(m_clock.nsecsElapsed()) * 1e-9); }

void GridCommands::tap(double seconds) {
    if (!hasGrid()) return;
    m_taps.tap(seconds);
    const std::optional<double> heard = m_taps.bpm();
    if (!heard) {
        m_model.showStatus(tr("Tap T on each beat you hear; the tempo follows from the second."));
        return;
    }
    model::GridEdits edits = m_model.practice().gridEdits();
    // The taps are the beats: a halving or doubling before them no longer applies.
    edits.tappedBpm = *heard / m_model.stretch().tempo;
    edits.tempoPower = 0;
    m_model.practice().setGridEdits(edits);
    m_model.showStatus(
        tr("Tapped tempo: %1.")
            .arg(model::tempoText(m_model.practice().griddedMap(), m_model.stretch())));
}

void GridCommands::reset() {
    m_taps = {};
    if (m_model.practice().gridEdits() == model::GridEdits{}) {
        m_model.showStatus(tr("The grid is as the song map found it."));
        return;
    }
    edit({}, tr("The grid is as the song map found it again."));
}

}  // namespace corvane::ui
