// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/ContentView.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <cmath>

#include "ui/ChordLane.h"
#include "ui/DropZone.h"
#include "ui/KeyboardFocus.h"
#include "ui/MethodChoice.h"
#include "ui/PracticeControls.h"
#include "ui/SessionCommands.h"
#include "ui/StatusRow.h"
#include "ui/StretchControls.h"
#include "ui/StripView.h"
#include "ui/StudioActions.h"
#include "ui/Theme.h"
#include "ui/TimeRuler.h"
#include "ui/TimeString.h"
#include "ui/Timeline.h"
#include "ui/TransportBar.h"

namespace corvane::ui {

namespace {

const QString kInfoText = QStringLiteral(
    "Stems are made with signal processing (STFT, center-channel extraction and median "
    "filtering), not an AI model, so separation is approximate and some bleed between stems is "
    "expected.");

// The first location of a drag or drop, if it is a file; anything else counts as none.
std::optional<QString> firstFile(const QMimeData* data) {
    if (!data || !data->hasUrls() || data->urls().isEmpty()) return std::nullopt;
    const QUrl first = data->urls().constFirst();
    if (!first.isLocalFile()) return std::nullopt;
    return first.toLocalFile();
}

QLabel* makeLabel(const QString& text, TextStyle style, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(ui::font(style));
    return label;
}

}  // namespace

ContentView::ContentView(model::StudioModel& model, FileDialogs& dialogs, QWidget* parent)
    : QWidget(parent), m_model(model), m_dialogs(dialogs) {
    setWindowTitle(QStringLiteral("Corvane"));
    setWindowIcon(themedIcon(QStringLiteral("corvane")));
    setMinimumSize(780, 600);
    setAcceptDrops(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 18, 18, 18);
    layout->setSpacing(14);
    layout->addWidget(makeHeader());

    auto* screens = new QWidget(this);
    m_screens = new QStackedLayout(screens);
    m_dropZone = new DropZone(screens);
    m_dropZone->onClick = [this] { openFile(); };
    m_screens->addWidget(m_dropZone);
    m_screens->addWidget(makeProcessing());
    m_screens->addWidget(makeStudio());
    layout->addWidget(screens, 1);

    // Reserved, so nothing moves when it speaks.
    layout->addWidget(new StatusRow(m_model, this));
    layout->addWidget(makeInfoLine());

    m_session = new SessionCommands(m_model, m_dialogs, *m_timeline, this);
    m_actions = new StudioActions(
        m_model, *this, *m_timeline,
        {[this] { openFile(); }, [this] { toggleKaraoke(); }, [this] { m_session->save(); }});
    layout->setMenuBar(m_actions->makeMenuBar(this));
    makeKeyboardReachable(this);

    connect(&m_model, &model::StudioModel::phaseChanged, this, &ContentView::syncFromModel);
    connect(&m_model, &model::StudioModel::fileNameChanged, this, &ContentView::syncFromModel);
    connect(&m_model, &model::StudioModel::fileNameChanged, this, &ContentView::syncProgress);
    connect(&m_model, &model::StudioModel::progressChanged, this, &ContentView::syncProgress);
    connect(&m_model, &model::StudioModel::stripsChanged, this, &ContentView::syncKaraoke);
    connect(&m_model, &model::StudioModel::exportChanged, this, &ContentView::syncExport);
    connect(&m_model.practice(), &model::PracticeModel::gridChanged, this, &ContentView::syncLoop);
    syncExport();
    syncFromModel();
    syncKaraoke();
    syncLoop();
    syncProgress();
}

QWidget* ContentView::makeHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    const QFont title = ui::font(TextStyle::title2);
    auto* glyph = new QLabel(header);
    const int glyphSize = QFontMetrics(title).height();
    glyph->setPixmap(
        QIcon(QStringLiteral(":/corvane/icons/waveform.svg")).pixmap(QSize(glyphSize, glyphSize)));
    row->addWidget(glyph);
    auto* name = new QLabel(QStringLiteral("Corvane"), header);
    QFont bold = title;
    bold.setBold(true);
    name->setFont(bold);
    row->addWidget(name);
    m_songName = new QLabel(header);
    m_songName->setObjectName(QStringLiteral("songNameLabel"));
    m_songName->setFont(ui::font(TextStyle::title3));
    m_songName->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(m_songName, 1);
    m_open = new QPushButton(QStringLiteral("Open Audio…"), header);
    m_open->setObjectName(QStringLiteral("openButton"));
    m_open->setIcon(themedIcon(QStringLiteral("document-open")));
    m_open->setAccessibleName(QStringLiteral("Open audio file"));
    m_open->setToolTip(QStringLiteral("Open a song to split into stems (Ctrl+O)"));
    connect(m_open, &QPushButton::clicked, this, &ContentView::openFile);
    row->addWidget(m_open);
    return header;
}

QWidget* ContentView::makeProcessing() {
    m_processing = new QWidget(this);
    m_processing->setObjectName(QStringLiteral("processing"));
    auto* column = new QVBoxLayout(m_processing);
    column->setSpacing(14);
    column->addStretch(1);
    m_progressLabel = makeLabel(QString(), TextStyle::headline, m_processing);
    m_progressLabel->setObjectName(QStringLiteral("progressLabel"));
    m_progressLabel->setAlignment(Qt::AlignCenter);
    column->addWidget(m_progressLabel);
    m_progressBar = new QProgressBar(m_processing);
    m_progressBar->setObjectName(QStringLiteral("progressBar"));
    m_progressBar->setRange(0, 10000);
    m_progressBar->setTextVisible(false);
    m_progressBar->setMaximumWidth(420);  // and narrower with the window
    m_progressBar->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* barRow = new QHBoxLayout();
    barRow->addStretch(1);
    barRow->addWidget(m_progressBar, 100);
    barRow->addStretch(1);
    column->addLayout(barRow);
    m_percent = makeLabel(QString(), TextStyle::body, m_processing);
    m_percent->setObjectName(QStringLiteral("percentLabel"));
    m_percent->setFont(monospacedDigits(m_percent->font()));
    m_percent->setAlignment(Qt::AlignCenter);
    setSecondaryText(m_percent, palette());
    column->addWidget(m_percent);
    // The method can be changed, or a change taken back, while a song is separated.
    auto* method = new MethodChoice(m_model, m_processing);
    method->setObjectName(QStringLiteral("processingMethodChoice"));
    column->addWidget(method, 0, Qt::AlignCenter);
    column->addStretch(1);
    return m_processing;
}

QWidget* ContentView::makeStudio() {
    m_studio = new QWidget(this);
    m_studio->setObjectName(QStringLiteral("studio"));
    auto* column = new QVBoxLayout(m_studio);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    column->addStretch(1);
    column->addWidget(new TransportBar(m_model, m_studio));
    auto* controls = new QHBoxLayout();
    auto* method = new MethodChoice(m_model, m_studio);
    method->setObjectName(QStringLiteral("methodChoice"));
    controls->addWidget(method, 0, Qt::AlignLeft | Qt::AlignVCenter);
    controls->addWidget(new ClickControls(m_model, m_studio), 0, Qt::AlignVCenter);
    controls->addStretch(1);
    auto* stretch = new StretchControls(m_model, m_studio);
    stretch->setObjectName(QStringLiteral("stretchControls"));
    controls->addWidget(stretch);
    column->addLayout(controls);

    m_timeline = new Timeline(m_model, m_studio);
    auto* strips = new QVBoxLayout();
    strips->setSpacing(8);
    QWidget* firstWaveform = nullptr;
    for (const model::Strip& strip : m_model.strips()) {
        auto* view = new StripView(m_model, strip.id(), m_studio);
        view->setTimeline(m_timeline);
        if (!firstWaveform) firstWaveform = view->findChild<QWidget*>(QStringLiteral("waveform"));
        strips->addWidget(view);
    }
    // The ruler and chord lane span the strips' width, their axis under the waveforms.
    strips->addWidget(makeRulerWithLanes(m_model, *m_timeline, firstWaveform, m_studio));
    column->addLayout(strips, 100);  // the strips take the height before the margins do

    auto* exports = new QHBoxLayout();
    // White on the button's own fill, like its text.
    m_karaoke = new QPushButton(
        themedIcon(QStringLiteral("microphone-sensitivity-muted"), QColor(Qt::white)),
        QStringLiteral("Karaoke"), m_studio);
    m_karaoke->setObjectName(QStringLiteral("karaokeButton"));
    m_karaoke->setToolTip(QStringLiteral("Mute the vocals (K)"));
    m_karaoke->setAccessibleName(QStringLiteral("Karaoke"));
    connect(m_karaoke, &QPushButton::clicked, this, &ContentView::toggleKaraoke);
    exports->addWidget(m_karaoke);
    m_loop = new QPushButton(QStringLiteral("Loop"), m_studio);
    m_loop->setObjectName(QStringLiteral("loopButton"));
    m_loop->setCheckable(true);
    m_loop->setToolTip(QStringLiteral(
        "Loop on or off (L); Shift+drag on a waveform (on the beats; Shift+Alt+drag freely), or "
        "I and O at the playhead, set it; "
        "Alt+arrows move it by bars, Alt+Shift+arrows change its length; Esc clears it"));
    m_loop->setAccessibleName(QStringLiteral("Loop"));
    connect(m_loop, &QPushButton::clicked, this, [this] { m_model.toggleLoop(); });
    connect(&m_model, &model::StudioModel::loopChanged, this, &ContentView::syncLoop);
    exports->addWidget(m_loop);
    m_loopTimes = makeLabel(QString(), TextStyle::body, m_studio);
    m_loopTimes->setObjectName(QStringLiteral("loopTimesLabel"));
    m_loopTimes->setFont(monospacedDigits(m_loopTimes->font()));
    m_loopTimes->setAccessibleName(QStringLiteral("Loop start and end"));
    setSecondaryText(m_loopTimes, palette());
    exports->addWidget(m_loopTimes);
    exports->addWidget(new TrainerLabel(m_model, m_studio));
    exports->addStretch(1);
    auto* label = new QLabel(QStringLiteral("Export:"), m_studio);
    setSecondaryText(label, palette());
    exports->addWidget(label);
    auto* mix = new QPushButton(QStringLiteral("Current Mix…"), m_studio);
    mix->setObjectName(QStringLiteral("exportMixButton"));
    mix->setAccessibleName(QStringLiteral("Export current mix"));
    mix->setToolTip(
        QStringLiteral("Save the mix as heard, tempo and pitch included, as WAV (Ctrl+E)"));
    connect(mix, &QPushButton::clicked, &m_model, &model::StudioModel::exportMix);
    exports->addWidget(mix);
    auto* all = new QPushButton(QStringLiteral("All Stems…"), m_studio);
    all->setObjectName(QStringLiteral("exportAllButton"));
    all->setAccessibleName(QStringLiteral("Export all stems"));
    all->setToolTip(QStringLiteral("Save the four raw stems into a folder (Ctrl+Shift+E)"));
    connect(all, &QPushButton::clicked, &m_model, &model::StudioModel::exportAllStems);
    exports->addWidget(all);
    column->addLayout(exports);
    column->addStretch(1);
    return m_studio;
}

QWidget* ContentView::makeInfoLine() {
    auto* line = new QWidget(this);
    auto* row = new QHBoxLayout(line);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    const QFont caption = ui::font(TextStyle::caption);
    auto* icon = new IconLabel(QStringLiteral("dialog-information"), QFontMetrics(caption).height(),
                               QPalette::WindowText, line);
    icon->setObjectName(QStringLiteral("infoIcon"));
    row->addWidget(icon, 0, Qt::AlignTop);
    auto* text = makeLabel(kInfoText, TextStyle::caption, line);
    text->setObjectName(QStringLiteral("infoLabel"));
    text->setWordWrap(true);
    setSecondaryText(text, palette());
    row->addWidget(text, 1);
    return line;
}

void ContentView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) refreshSecondaryText(this);
    QWidget::changeEvent(event);
}

void ContentView::closeEvent(QCloseEvent* event) {
    if (!m_session->mayDiscardChanges()) return event->ignore();
    QWidget::closeEvent(event);
}

void ContentView::openFile() {
    if (std::optional<QString> file = m_dialogs.openAudioFile()) openPath(*file);
}

void ContentView::openPath(const QString& path) { m_session->open(path); }

void ContentView::setTargeted(bool targeted) {
    m_targeted = targeted;
    m_dropZone->setTargeted(targeted);
}

void ContentView::dragEnterEvent(QDragEnterEvent* event) {
    if (!firstFile(event->mimeData())) return;  // not ours: refuse, no highlight
    event->acceptProposedAction();
    setTargeted(true);
}

void ContentView::dragMoveEvent(QDragMoveEvent* event) {
    if (firstFile(event->mimeData())) event->acceptProposedAction();
}

void ContentView::dragLeaveEvent(QDragLeaveEvent* event) {
    setTargeted(false);
    QWidget::dragLeaveEvent(event);
}

void ContentView::dropEvent(QDropEvent* event) {
    setTargeted(false);
    const std::optional<QString> file = firstFile(event->mimeData());
    if (!file) return;  // nothing with a file location: ignored without a word
    event->acceptProposedAction();
    openPath(*file);
}

void ContentView::syncFromModel() {
    switch (m_model.phase()) {
        case model::Phase::idle:
            m_screens->setCurrentWidget(m_dropZone);
            break;
        case model::Phase::processing:
            m_screens->setCurrentWidget(m_processing);
            break;
        case model::Phase::ready:
            m_screens->setCurrentWidget(m_studio);
            break;
    }
    m_open->setVisible(m_model.phase() != model::Phase::processing);
    // The song in the studio, or the one being separated, names the window.
    const bool named = m_model.phase() != model::Phase::idle && !m_model.fileName().isEmpty();
    const QString song = named ? m_model.shownFileName() : QString();
    m_songName->setText(named ? QStringLiteral("— ") + song : QString());
    setWindowTitle(named ? song + QStringLiteral(" — Corvane") : QStringLiteral("Corvane"));
}

void ContentView::syncExport() {
    const bool busy = m_model.isExporting();
    // One export at a time: the commands wait for this one.
    for (QPushButton* button : findChildren<QPushButton*>()) {
        const QString name = button->objectName();
        if (name == QLatin1String("exportMixButton") || name == QLatin1String("exportAllButton") ||
            name == QLatin1String("exportButton"))
            button->setEnabled(!busy);
    }
}

void ContentView::syncKaraoke() {
    const bool vocalsMuted = !m_model.strips().empty() && m_model.strips().front().mute;
    // Strips change at every step of a volume drag; restyling re-polishes, so only on a change.
    const QString style = prominentButtonStyle(vocalsMuted ? colors::pink : colors::gray);
    if (m_karaoke->styleSheet() != style) m_karaoke->setStyleSheet(style);
}

void ContentView::syncLoop() {
    const model::LoopRegion loop = m_model.loop();
    m_loop->setChecked(loop.enabled);
    const QString bars = QString::fromStdString(model::barsText(m_model.practice().beats(), loop));
    m_loopTimes->setText(loop.isSet()
                             ? timeStringTenths(loop.start) + QStringLiteral(" – ") +
                                   timeStringTenths(loop.end) +
                                   (bars.isEmpty() ? QString() : QStringLiteral(", ") + bars)
                             : QString());
    const QString style = prominentButtonStyle(loop.enabled ? colors::accent : colors::gray);
    if (m_loop->styleSheet() != style) m_loop->setStyleSheet(style);
}

void ContentView::syncProgress() {
    m_progressLabel->setText(QStringLiteral("Separating ") + m_model.shownFileName() +
                             QStringLiteral("…"));
    const double progress = m_model.progress();
    m_progressBar->setValue(static_cast<int>(std::lround(std::clamp(progress, 0.0, 1.0) * 10000)));
    // Truncated, so 100% shows only when the work is done.
    const double percent = std::trunc(progress * 100.0);
    m_percent->setText(QString::number(static_cast<long long>(percent)) + QStringLiteral("%"));
}

void ContentView::toggleKaraoke() {
    if (m_model.strips().empty()) return;
    model::Strip vocals = m_model.strips().front();
    vocals.mute = !vocals.mute;
    m_model.setStrip(0, vocals);
}

}  // namespace corvane::ui
