// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/StudioActions.h"

#include <QAction>
#include <QActionGroup>
#include <QInputDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QWidget>
#include <cmath>

#include "Version.h"
#include "ui/GridCommands.h"
#include "ui/PracticeControls.h"
#include "ui/Timeline.h"

namespace corvane::ui {

namespace {
constexpr int kTempoStep = 5;  // per cent; Shift steps 1 %
constexpr int kKeyZoomLevels = 2;
}  // namespace

StudioActions::StudioActions(model::StudioModel& model, QWidget& window, Timeline& timeline,
                             Hooks hooks)
    : QObject(&window),
      m_model(model),
      m_window(window),
      m_timeline(timeline),
      m_hooks(std::move(hooks)) {
    addFileMenu();
    addPlaybackMenu();
    addMarkersMenu();
    addMixerMenu();
    addViewMenu();
    addHelpMenu();
    m_grid = new GridCommands(m_model, m_window, this);
    m_songActions.insert(m_songActions.end(), m_grid->actions().begin(), m_grid->actions().end());
    connect(&m_model, &model::StudioModel::phaseChanged, this, &StudioActions::sync);
    connect(&m_model, &model::StudioModel::loopChanged, this, &StudioActions::sync);
    connect(&m_model, &model::StudioModel::methodChanged, this, &StudioActions::sync);
    connect(&m_model, &model::StudioModel::exportChanged, this, &StudioActions::sync);
    connect(&m_model, &model::StudioModel::songMapChanged, this, &StudioActions::sync);
    connect(&m_model.practice(), &model::PracticeModel::clickChanged, this, &StudioActions::sync);
    sync();
}

QAction* StudioActions::add(Menu& menu, const QString& name, const QString& text,
                            const QList<QKeySequence>& keys, std::function<void()> run) {
    auto* action = new QAction(text, this);
    action->setObjectName(name);
    action->setShortcuts(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    connect(action, &QAction::triggered, this, [run = std::move(run)] { run(); });
    // On the window itself, so the shortcut works whether or not the menu bar is shown.
    m_window.addAction(action);
    menu.actions.push_back(action);
    return action;
}

void StudioActions::addFileMenu() {
    Menu menu{tr("&File"), {}};
    m_open = add(menu, QStringLiteral("openAction"), tr("&Open…"), {QKeySequence::Open},
                 [this] { m_hooks.open(); });
    m_songActions.push_back(add(menu, QStringLiteral("saveSessionAction"), tr("&Save Session…"),
                                {QKeySequence(Qt::CTRL | Qt::Key_S)},
                                [this] { m_hooks.saveSession(); }));
    menu.actions.push_back(nullptr);
    m_songActions.push_back(add(menu, QStringLiteral("exportMixAction"), tr("Export Current &Mix…"),
                                {QKeySequence(Qt::CTRL | Qt::Key_E)},
                                [this] { m_model.exportMix(); }));
    m_songActions.push_back(add(menu, QStringLiteral("exportStemsAction"), tr("Export All &Stems…"),
                                {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E)},
                                [this] { m_model.exportAllStems(); }));
    m_exportMap =
        add(menu, QStringLiteral("exportMapAction"), tr("Export M&ap…"),
            {QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_E)}, [this] { m_model.exportMap(); });
    menu.actions.push_back(nullptr);
    add(menu, QStringLiteral("quitAction"), tr("&Quit"), {QKeySequence(Qt::CTRL | Qt::Key_Q)},
        [this] { m_window.close(); });
    m_menus.push_back(std::move(menu));
}

void StudioActions::addPlaybackMenu() {
    Menu menu{tr("&Playback"), {}};
    const auto song = [&](const char* name, const QString& text, QList<QKeySequence> keys,
                          std::function<void()> run) {
        QAction* a = add(menu, QString::fromLatin1(name), text, keys, std::move(run));
        m_songActions.push_back(a);
        return a;
    };
    const auto seekBy = [this](double seconds) {
        return [this, seconds] { m_model.seek(m_model.position() + seconds); };
    };
    QAction* play = song("playAction", tr("Play/Pause"), {QKeySequence(Qt::Key_Space)},
                         [this] { m_model.isPlaying() ? m_model.pause() : m_model.play(); });
    play->setAutoRepeat(false);  // held down, it toggles once
    song("stopAction", tr("Stop"), {QKeySequence(Qt::Key_S)}, [this] { m_model.stop(); });
    song("startAction", tr("Go to Start"), {QKeySequence(Qt::Key_Home)},
         [this] { m_model.seek(0.0); });
    song("backAction", tr("Back 5 Seconds"), {QKeySequence(Qt::Key_Left)}, seekBy(-kSeekSeconds));
    song("forwardAction", tr("Forward 5 Seconds"), {QKeySequence(Qt::Key_Right)},
         seekBy(kSeekSeconds));
    song("nudgeBackAction", tr("Nudge Back 0.1 Second"), {QKeySequence(Qt::Key_Comma)},
         seekBy(-kNudgeSeconds));
    song("nudgeForwardAction", tr("Nudge Forward 0.1 Second"), {QKeySequence(Qt::Key_Period)},
         seekBy(kNudgeSeconds));
    menu.actions.push_back(nullptr);
    m_loop = song("loopAction", tr("&Loop"), {QKeySequence(Qt::Key_L)},
                  [this] { m_model.toggleLoop(); });
    m_loop->setCheckable(true);
    song("loopStartAction", tr("Set Loop Start at Playhead"), {QKeySequence(Qt::Key_I)}, [this] {
        const model::LoopRegion loop = m_model.loop();
        m_model.setLoop(m_model.position(), loop.isSet() ? loop.end : m_model.duration());
    });
    song("loopEndAction", tr("Set Loop End at Playhead"), {QKeySequence(Qt::Key_O)}, [this] {
        const model::LoopRegion loop = m_model.loop();
        m_model.setLoop(loop.isSet() ? loop.start : 0.0, m_model.position());
    });
    // One key, the obvious meaning at the time: an export running is what Escape stops first.
    m_escape = add(menu, QStringLiteral("escapeAction"), tr("Clear Loop"),
                   {QKeySequence(Qt::Key_Escape)}, [this] {
                       if (m_model.isExporting())
                           m_model.cancelExport();
                       else
                           m_model.clearLoop();
                   });
    menu.actions.push_back(nullptr);
    m_refined = song("methodAction", tr("&Refined Separation"), {QKeySequence(Qt::Key_R)}, [this] {
        m_model.setMethod(m_model.method() == dsp::SeparationMethod::refined
                              ? dsp::SeparationMethod::standard
                              : dsp::SeparationMethod::refined);
    });
    m_refined->setCheckable(true);
    menu.actions.push_back(nullptr);
    song("slowerAction", tr("Slower"), {QKeySequence(Qt::Key_BracketLeft)},
         [this] { stepTempo(-kTempoStep); });
    song("fasterAction", tr("Faster"), {QKeySequence(Qt::Key_BracketRight)},
         [this] { stepTempo(kTempoStep); });
    // Written as the keys pressed, like Shift+1: the keyboard maps a shifted symbol back to them
    // (a second sequence for "{" would match the same press and make it ambiguous).
    song("slowerFineAction", tr("Slower by 1 %"), {QKeySequence(Qt::SHIFT | Qt::Key_BracketLeft)},
         [this] { stepTempo(-1); });
    song("fasterFineAction", tr("Faster by 1 %"), {QKeySequence(Qt::SHIFT | Qt::Key_BracketRight)},
         [this] { stepTempo(1); });
    song("pitchDownAction", tr("Pitch Down a Semitone"), {QKeySequence(Qt::Key_Minus)},
         [this] { stepPitch(-1); });
    song("pitchUpAction", tr("Pitch Up a Semitone"), {QKeySequence(Qt::Key_Equal)},
         [this] { stepPitch(1); });
    song("resetStretchAction", tr("Reset Tempo and Pitch"), {QKeySequence(Qt::Key_0)},
         [this] { m_model.setStretch({}); });
    addPracticeCommands(menu);
    m_menus.push_back(std::move(menu));
}

void StudioActions::addPracticeCommands(Menu& menu) {
    const auto song = [&](const char* name, const QString& text, QList<QKeySequence> keys,
                          std::function<void()> run) {
        QAction* a = add(menu, QString::fromLatin1(name), text, keys, std::move(run));
        m_songActions.push_back(a);
        return a;
    };
    menu.actions.push_back(nullptr);
    // The click's switch works without a song too: it is kept across songs.
    m_click = add(menu, QStringLiteral("clickAction"), tr("&Click"), {QKeySequence(Qt::Key_C)},
                  [this] { m_model.practice().toggleClick(); });
    m_click->setCheckable(true);
    song("speedTrainerAction", tr("Speed &Trainer…"), {QKeySequence(Qt::CTRL | Qt::Key_T)}, [this] {
        auto* dialog = new SpeedTrainerDialog(m_model.practice(), &m_window);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->open();
    });
    menu.actions.push_back(nullptr);
    song("loopLaterAction", tr("Move Loop a Bar Later"), {QKeySequence(Qt::ALT | Qt::Key_Right)},
         [this] { loopByBars(1, false); });
    song("loopEarlierAction", tr("Move Loop a Bar Earlier"), {QKeySequence(Qt::ALT | Qt::Key_Left)},
         [this] { loopByBars(-1, false); });
    song("loopLongerAction", tr("Loop a Bar Longer"),
         {QKeySequence(Qt::ALT | Qt::SHIFT | Qt::Key_Right)}, [this] { loopByBars(1, true); });
    song("loopShorterAction", tr("Loop a Bar Shorter"),
         {QKeySequence(Qt::ALT | Qt::SHIFT | Qt::Key_Left)}, [this] { loopByBars(-1, true); });
}

void StudioActions::addMarkersMenu() {
    Menu menu{tr("Mar&kers"), {}};
    const auto song = [&](const char* name, const QString& text, QList<QKeySequence> keys,
                          std::function<void()> run) {
        m_songActions.push_back(add(menu, QString::fromLatin1(name), text, keys, std::move(run)));
    };
    song("addMarkerAction", tr("&Add Marker at Playhead"), {QKeySequence(Qt::Key_M)},
         [this] { m_model.practice().addMarker(m_model.position()); });
    song("nextMarkerAction", tr("&Next Marker"), {QKeySequence(Qt::Key_PageDown)},
         [this] { jumpToMarker(true); });
    song("previousMarkerAction", tr("&Previous Marker"), {QKeySequence(Qt::Key_PageUp)},
         [this] { jumpToMarker(false); });
    song("renameMarkerAction", tr("&Rename Marker…"), {QKeySequence(Qt::Key_F2)},
         [this] { renameMarker(); });
    song("removeMarkerAction", tr("Re&move Marker"), {QKeySequence(Qt::SHIFT | Qt::Key_M)},
         [this] { removeMarker(); });
    m_menus.push_back(std::move(menu));
}

void StudioActions::loopByBars(int bars, bool resize) {
    const std::vector<analysis::Beat>& beats = m_model.practice().beats();
    if (beats.empty()) {
        m_model.showStatus(tr("The loop moves by bars once the song's beats are known."));
        return;
    }
    const model::LoopRegion loop = m_model.loop();
    std::optional<model::LoopRegion> next;
    if (!loop.isSet())
        next = model::barLoop(beats, m_model.position());
    else
        next = resize ? model::resizeLoopByBars(beats, loop, bars)
                      : model::moveLoopByBars(beats, loop, bars);
    if (next && next->isSet()) m_model.setLoop(next->start, next->end);
}

std::optional<int> StudioActions::markerAtPlayhead() const {
    // A marker just dropped at the playhead counts as the one there.
    return m_model.practice().markers().previous(m_model.position() +
                                                 2.0 * model::Markers::kSameSeconds);
}

void StudioActions::jumpToMarker(bool next) {
    const model::Markers& markers = m_model.practice().markers();
    const std::optional<int> to =
        next ? markers.next(m_model.position()) : markers.previous(m_model.position());
    if (to) m_model.seek(markers.all()[static_cast<std::size_t>(*to)].seconds);
}

void StudioActions::renameMarker() {
    const std::optional<int> index = markerAtPlayhead();
    if (!index) return;
    const model::Marker& marker =
        m_model.practice().markers().all()[static_cast<std::size_t>(*index)];
    bool ok = false;
    const QString name =
        QInputDialog::getText(&m_window, tr("Rename Marker"), tr("Name:"), QLineEdit::Normal,
                              QString::fromStdString(marker.name), &ok);
    if (ok && !name.trimmed().isEmpty())
        m_model.practice().renameMarker(*index, name.trimmed().toStdString());
}

void StudioActions::removeMarker() {
    if (const std::optional<int> index = markerAtPlayhead())
        m_model.practice().removeMarker(*index);
}

QMenu* StudioActions::makeCountInMenu(QWidget* parent) {
    auto* menu = new QMenu(tr("Count-&in"), parent);
    menu->setObjectName(QStringLiteral("countInMenu"));
    auto* group = new QActionGroup(menu);
    const std::pair<int, QString> choices[] = {
        {0, tr("None")}, {1, tr("1 Bar")}, {2, tr("2 Bars")}};
    for (const auto& [bars, text] : choices) {
        QAction* a = menu->addAction(text);
        a->setObjectName(QStringLiteral("countIn%1Action").arg(bars));
        a->setCheckable(true);
        a->setActionGroup(group);
        connect(a, &QAction::triggered, this,
                [this, bars = bars] { m_model.practice().setCountInBars(bars); });
    }
    menu->addSeparator();
    QAction* each = menu->addAction(tr("Count In Each Loop Pass"));
    each->setObjectName(QStringLiteral("countInEachPassAction"));
    each->setCheckable(true);
    each->setToolTip(
        tr("At each wrap of the loop the song stops, the count-in's bars click, "
           "then the pass starts (with the click on)"));
    menu->setToolTipsVisible(true);
    connect(each, &QAction::triggered, this,
            [this](bool on) { m_model.practice().setCountInEachPass(on); });
    connect(menu, &QMenu::aboutToShow, this, [this, group, each] {
        for (QAction* a : group->actions())
            a->setChecked(a->objectName() ==
                          QStringLiteral("countIn%1Action").arg(m_model.practice().countInBars()));
        each->setChecked(m_model.practice().countInEachPass());
    });
    return menu;
}

void StudioActions::addMixerMenu() {
    Menu menu{tr("&Mixer"), {}};
    m_songActions.push_back(add(menu, QStringLiteral("karaokeAction"), tr("&Karaoke"),
                                {QKeySequence(Qt::Key_K)}, [this] { m_hooks.toggleKaraoke(); }));
    menu.actions.push_back(nullptr);
    for (bool model::Strip::*field : {&model::Strip::solo, &model::Strip::mute}) {
        const bool solo = field == &model::Strip::solo;
        for (dsp::StemKind kind : dsp::kAllStemKinds) {
            const int i = dsp::rawValue(kind);
            const auto key = static_cast<Qt::Key>(Qt::Key_1 + i);
            const QString title = QString::fromUtf8(dsp::title(kind).data());
            const QString name = (solo ? QStringLiteral("solo") : QStringLiteral("mute")) + title +
                                 QStringLiteral("Action");
            m_songActions.push_back(
                add(menu, name, (solo ? tr("Solo %1") : tr("Mute %1")).arg(title),
                    {solo ? QKeySequence(key) : QKeySequence(Qt::SHIFT | key)}, [this, i, field] {
                        if (i >= static_cast<int>(m_model.strips().size())) return;
                        model::Strip strip = m_model.strips()[static_cast<std::size_t>(i)];
                        strip.*field = !(strip.*field);
                        m_model.setStrip(i, strip);
                    }));
        }
        if (solo) menu.actions.push_back(nullptr);
    }
    m_menus.push_back(std::move(menu));
}

void StudioActions::addViewMenu() {
    Menu menu{tr("&View"), {}};
    // Plain - and = are pitch, so zooming takes Ctrl (a plain + zooms too).
    m_songActions.push_back(
        add(menu, QStringLiteral("zoomInAction"), tr("Zoom &In"),
            {QKeySequence(QKeySequence::ZoomIn), QKeySequence(Qt::CTRL | Qt::Key_Equal),
             QKeySequence(Qt::Key_Plus)},
            [this] { m_timeline.zoomAboutPlayhead(kKeyZoomLevels); }));
    m_songActions.push_back(add(menu, QStringLiteral("zoomOutAction"), tr("Zoom &Out"),
                                {QKeySequence(QKeySequence::ZoomOut)},
                                [this] { m_timeline.zoomAboutPlayhead(-kKeyZoomLevels); }));
    m_songActions.push_back(add(menu, QStringLiteral("wholeSongAction"), tr("&Whole Song"),
                                {QKeySequence(Qt::CTRL | Qt::Key_0)},
                                [this] { m_timeline.reset(); }));
    m_menus.push_back(std::move(menu));
}

void StudioActions::addHelpMenu() {
    Menu menu{tr("&Help"), {}};
    add(menu, QStringLiteral("shortcutsAction"), tr("&Keyboard Shortcuts"),
        {QKeySequence(Qt::Key_F1)}, [this] { showShortcuts(); });
    add(menu, QStringLiteral("aboutAction"), tr("&About Corvane"), {}, [this] {
        auto* box = new QMessageBox(QMessageBox::Information, tr("About Corvane"),
                                    tr("Corvane %1\nSplits a song into vocals, drums, bass and "
                                       "other, for practising and mixing.")
                                        .arg(QString::fromLatin1(kVersion)),
                                    QMessageBox::Close, &m_window);
        box->setObjectName(QStringLiteral("aboutBox"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();  // window-modal, and the event loop runs on
    });
    m_menus.push_back(std::move(menu));
}

QMenuBar* StudioActions::makeMenuBar(QWidget* parent) {
    auto* bar = new QMenuBar(parent);
    bar->setObjectName(QStringLiteral("menuBar"));
    for (const Menu& menu : m_menus) {
        QMenu* shown = bar->addMenu(menu.title);
        for (QAction* a : menu.actions) {
            if (a)
                shown->addAction(a);
            else
                shown->addSeparator();
        }
        if (menu.title == tr("&Playback")) {
            shown->insertMenu(action(QStringLiteral("speedTrainerAction")), makeCountInMenu(shown));
            shown->addSeparator();
            shown->addMenu(m_grid->makeMenu(shown));
            shown->addSeparator();
            shown->addMenu(makeOutputMenu(shown));
        }
    }
    return bar;
}

QMenu* StudioActions::makeOutputMenu(QWidget* parent) {
    auto* menu = new QMenu(tr("Output &Device"), parent);
    menu->setObjectName(QStringLiteral("outputMenu"));
    connect(menu, &QMenu::aboutToShow, this, [this, menu] {
        menu->clear();
        auto* group = new QActionGroup(menu);
        const auto add = [&](const QString& text, const QString& name) {
            QAction* a = menu->addAction(text);
            a->setCheckable(true);
            a->setChecked(m_model.outputName() == name);
            a->setActionGroup(group);
            connect(a, &QAction::triggered, this, [this, name] { m_model.setOutputName(name); });
        };
        add(tr("System Default"), QString());
        const QStringList names = m_model.outputNames();
        if (!names.isEmpty()) menu->addSeparator();
        for (const QString& name : names) add(name, name);
    });
    return menu;
}

QAction* StudioActions::action(const QString& name) const {
    for (const Menu& menu : m_menus)
        for (QAction* a : menu.actions)
            if (a && a->objectName() == name) return a;
    return nullptr;
}

QString StudioActions::shortcutList() const {
    QStringList lines;
    const auto list = [&](const std::vector<QAction*>& actions) {
        for (QAction* a : actions) {
            if (!a || a->shortcuts().isEmpty()) continue;
            lines << QStringLiteral("    %1\t%2")
                         .arg(a->shortcuts().constFirst().toString(QKeySequence::NativeText),
                              QString(a->text()).remove(QLatin1Char('&')));
        }
    };
    for (const Menu& menu : m_menus) {
        lines << QString(menu.title).remove(QLatin1Char('&'));
        list(menu.actions);
        if (menu.title == tr("&Playback")) list(m_grid->actions());
    }
    lines << tr("Shift+drag on a waveform\tSet a loop on the beats (bars when zoomed out)");
    lines << tr("Shift+Alt+drag on a waveform\tSet a loop freely");
    lines << tr("Double-click on the ruler\tLoop that bar (on a section's tag, that section)");
    return lines.join(QLatin1Char('\n'));
}

void StudioActions::showShortcuts() {
    auto* box = new QMessageBox(QMessageBox::NoIcon, tr("Keyboard Shortcuts"), shortcutList(),
                                QMessageBox::Close, &m_window);
    box->setObjectName(QStringLiteral("shortcutsBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void StudioActions::stepTempo(int percent) {
    playback::Stretch s = m_model.stretch();
    const long now = std::lround(s.tempo * 100);
    s.tempo = static_cast<double>(std::clamp(now + percent, 50L, 150L)) / 100.0;
    if (s != m_model.stretch()) m_model.setStretch(s);
}

void StudioActions::stepPitch(int semitones) {
    playback::Stretch s = m_model.stretch();
    s.semitones = std::clamp(std::round(s.semitones) + semitones, -12.0, 12.0);
    if (s != m_model.stretch()) m_model.setStretch(s);
}

void StudioActions::sync() {
    const bool ready = m_model.phase() == model::Phase::ready;
    for (QAction* a : m_songActions) a->setEnabled(ready);
    m_open->setEnabled(m_model.phase() != model::Phase::processing);
    m_exportMap->setEnabled(m_model.canExportMap());
    m_click->setChecked(!m_model.practice().clickMuted());
    m_loop->setChecked(m_model.loop().enabled);
    m_refined->setChecked(m_model.method() == dsp::SeparationMethod::refined);
    m_escape->setText(m_model.isExporting() ? tr("Cancel Export") : tr("Clear Loop"));
}

}  // namespace corvane::ui
