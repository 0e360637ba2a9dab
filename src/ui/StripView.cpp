// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/StripView.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <string_view>

#include "ui/Theme.h"
#include "ui/WaveformView.h"

namespace corvane::ui {

namespace {
constexpr int kSpacing = 12;
constexpr int kMargin = 10;
constexpr int kNameWidth = 70;
constexpr int kWaveformHeight = 54;      // at least; strips share the window's height
constexpr int kMaxWaveformHeight = 150;  // beyond this a taller strip shows nothing more
constexpr int kSliderWidth = 120;
constexpr int kSliderSteps = 1000;  // slider units per unit of gain
constexpr float kMaxVolume = 1.5f;
constexpr double kCornerRadius = 10.0;
constexpr double kBackgroundOpacity = 0.08;

QString text(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Changes one field of the model's strip and makes it heard.
template <class Change>
void editStrip(model::StudioModel& model, int index, Change change) {
    if (index < 0 || index >= static_cast<int>(model.strips().size())) return;
    model::Strip s = model.strips()[static_cast<std::size_t>(index)];
    change(s);
    model.setStrip(index, s);
}

// What each method's stem holds, in a few words. Standard keeps its long-standing words; Refined's
// bass cross-over reaches 260 Hz (full to 170 Hz) and its drums take the kick at every frequency.
QString subtitle(dsp::StemKind kind, dsp::SeparationMethod method) {
    if (method == dsp::SeparationMethod::standard) return text(dsp::subtitle(kind));
    switch (kind) {
        case dsp::StemKind::vocals:
            return QStringLiteral("center, sung pitch");
        case dsp::StemKind::drums:
            return QStringLiteral("percussive, kick");
        case dsp::StemKind::bass:
            return QStringLiteral("< 250 Hz");
        case dsp::StemKind::other:
            break;
    }
    return text(dsp::subtitle(kind));
}

QString decibels(float gain) {
    if (gain <= 0.0f) return QStringLiteral("−∞ dB");
    const double db = 20.0 * std::log10(static_cast<double>(gain));
    return QStringLiteral("%1%2 dB")
        .arg(db > 0.05 ? QStringLiteral("+") : QString())
        .arg(db, 0, 'f', 1);
}

QPushButton* makeButton(QWidget* parent, const QString& name, const QString& toolTip) {
    auto* button = new QPushButton(parent);
    button->setObjectName(name);
    button->setToolTip(toolTip);
    return button;
}
}  // namespace

StripView::StripView(model::StudioModel& model, int index, QWidget* parent)
    : QWidget(parent), m_model(model), m_index(index) {
    const dsp::StemKind kind = dsp::stemKindFromRaw(index).value_or(dsp::StemKind::other);
    const QString title = text(dsp::title(kind));

    auto* name = new QWidget(this);
    name->setFixedWidth(kNameWidth);
    auto* nameLayout = new QVBoxLayout(name);
    nameLayout->setContentsMargins(0, 0, 0, 0);
    nameLayout->setSpacing(2);
    m_title = new QLabel(title, name);
    m_title->setObjectName(QStringLiteral("titleLabel"));
    m_title->setFont(ui::font(TextStyle::headline));
    m_subtitle = new QLabel(text(dsp::subtitle(kind)), name);
    m_subtitle->setObjectName(QStringLiteral("subtitleLabel"));
    m_subtitle->setFont(ui::font(TextStyle::caption2));
    nameLayout->addWidget(m_title, 0, Qt::AlignLeading);
    nameLayout->addWidget(m_subtitle, 0, Qt::AlignLeading);

    m_waveform = new WaveformView(m_model, this);
    m_waveform->setObjectName(QStringLiteral("waveform"));
    m_waveform->setMinimumHeight(kWaveformHeight);
    m_waveform->setMaximumHeight(kMaxWaveformHeight);
    m_waveform->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    m_waveform->setColor(kindColor(kind));
    m_waveform->setAccessibleName(title + QStringLiteral(" waveform"));
    m_waveform->setToolTip(QStringLiteral(
        "Click or drag to seek; Shift+drag to set a loop on the beats, Shift+Alt+drag to set it "
        "freely (L on or off, Esc clears)"));

    auto* volume = new QWidget(this);
    auto* volumeLayout = new QVBoxLayout(volume);
    volumeLayout->setContentsMargins(0, 0, 0, 0);
    volumeLayout->setSpacing(2);
    m_volume = new QSlider(Qt::Horizontal, volume);
    m_volume->setObjectName(QStringLiteral("volumeSlider"));
    m_volume->setFixedWidth(kSliderWidth);
    m_volume->setRange(0, static_cast<int>(std::lround(kMaxVolume * kSliderSteps)));
    m_volume->setPageStep(kSliderSteps / 10);
    m_volume->setSingleStep(kSliderSteps / 100);
    m_volume->setAccessibleName(title + QStringLiteral(" volume"));
    m_volume->installEventFilter(this);  // a double-click resets it
    m_volumeLabel = new QLabel(volume);
    m_volumeLabel->setObjectName(QStringLiteral("volumeLabel"));
    m_volumeLabel->setFont(monospacedDigits(ui::font(TextStyle::caption2)));
    m_volumeLabel->setAlignment(Qt::AlignCenter);
    volumeLayout->addWidget(m_volume, 0, Qt::AlignHCenter);
    volumeLayout->addWidget(m_volumeLabel, 0, Qt::AlignHCenter);

    const QString key = QString::number(index + 1);
    m_solo = makeButton(this, QStringLiteral("soloButton"), QStringLiteral("Solo (%1)").arg(key));
    m_solo->setText(QStringLiteral("S"));
    m_solo->setAccessibleName(QStringLiteral("Solo ") + title);
    m_mute =
        makeButton(this, QStringLiteral("muteButton"), QStringLiteral("Mute (Shift+%1)").arg(key));
    m_mute->setText(QStringLiteral("M"));
    m_mute->setAccessibleName(QStringLiteral("Mute ") + title);
    m_export =
        makeButton(this, QStringLiteral("exportButton"), QStringLiteral("Export this stem as WAV"));
    m_export->setIcon(themedIcon(QStringLiteral("document-save")));
    m_export->setAccessibleName(QStringLiteral("Export ") + title);
    for (QPushButton* toggle : {m_solo, m_mute}) toggle->setCheckable(true);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    row->setSpacing(kSpacing);
    row->addWidget(name, 0, Qt::AlignVCenter);
    row->addWidget(m_waveform, 1);
    row->addWidget(volume, 0, Qt::AlignVCenter);
    row->addWidget(m_solo, 0, Qt::AlignVCenter);
    row->addWidget(m_mute, 0, Qt::AlignVCenter);
    row->addWidget(m_export, 0, Qt::AlignVCenter);

    // Each step of a drag is heard at once: the model is written on every value, not on release.
    connect(m_volume, &QSlider::valueChanged, this, [this](int value) {
        editStrip(m_model, m_index, [value](model::Strip& s) {
            s.volume = static_cast<float>(value) / static_cast<float>(kSliderSteps);
        });
    });
    connect(m_solo, &QPushButton::clicked, this,
            [this] { editStrip(m_model, m_index, [](model::Strip& s) { s.solo = !s.solo; }); });
    connect(m_mute, &QPushButton::clicked, this,
            [this] { editStrip(m_model, m_index, [](model::Strip& s) { s.mute = !s.mute; }); });
    connect(m_export, &QPushButton::clicked, this, [this] { m_model.exportStem(m_index); });

    // Position ticks leave the strip alone: the waveform moves its own playhead.
    connect(&m_model, &model::StudioModel::stripsChanged, this, &StripView::syncFromModel);
    connect(&m_model, &model::StudioModel::peaksChanged, this, &StripView::syncFromModel);
    connect(&m_model, &model::StudioModel::methodChanged, this, &StripView::syncFromModel);
    applyPalette();
    syncFromModel();
}

void StripView::setTimeline(Timeline* timeline) { m_waveform->setTimeline(timeline, m_index); }

void StripView::syncFromModel() {
    const auto& strips = m_model.strips();
    const auto& peaks = m_model.peaks();
    const bool valid = m_index >= 0 && m_index < static_cast<int>(strips.size());
    const auto i = static_cast<std::size_t>(m_index);
    const model::Strip strip = valid ? strips[i] : model::Strip{};

    m_waveform->setPeaks(m_index >= 0 && i < peaks.size() ? peaks[i] : std::vector<float>{});
    // Dimmed whenever it is not heard: muted, or silenced by another strip's solo (a volume of 0
    // is the person's level, not a switch, and keeps the waveform).
    const bool anySolo =
        std::any_of(strips.begin(), strips.end(), [](const model::Strip& s) { return s.solo; });
    m_waveform->setDimmed(strip.mute || (anySolo && !strip.solo));
    m_subtitle->setText(subtitle(strip.kind, m_model.method()));
    {
        const QSignalBlocker blocker(m_volume);
        m_volume->setValue(static_cast<int>(std::lround(strip.volume * kSliderSteps)));
    }
    // Truncated so the label never claims more than is heard (0.999 shows 99 %).
    const int percent = static_cast<int>(strip.volume * 100.0f);
    m_volumeLabel->setText(QString::number(percent) + QLatin1Char('%'));
    const QString level = QStringLiteral("%1 volume: %2 % (%3); double-click for 100 %")
                              .arg(m_title->text())
                              .arg(percent)
                              .arg(decibels(strip.volume));
    m_volume->setToolTip(level);
    m_volumeLabel->setToolTip(level);

    const auto tint = [](QPushButton* button, bool on, const QColor& color) {
        const QString style = prominentButtonStyle(on ? color : colors::gray);
        // Restyling is costly; strips change often while a slider is dragged.
        if (button->styleSheet() != style) button->setStyleSheet(style);
        button->setChecked(on);
    };
    tint(m_solo, strip.solo, colors::yellow);
    tint(m_mute, strip.mute, colors::red);
    m_solo->setEnabled(valid);
    m_mute->setEnabled(valid);
    m_volume->setEnabled(valid);
}

// From the strip's own palette: the strip hears of a theme change before its children do.
void StripView::applyPalette() {
    setSecondaryText(m_subtitle, palette());
    setSecondaryText(m_volumeLabel, palette());
}

bool StripView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_volume && event->type() == QEvent::MouseButtonDblClick) {
        editStrip(m_model, m_index, [](model::Strip& s) { s.volume = 1.0f; });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void StripView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) applyPalette();
    QWidget::changeEvent(event);
}

void StripView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QColor tint = kindColor(dsp::stemKindFromRaw(m_index).value_or(dsp::StemKind::other));
    tint.setAlphaF(static_cast<float>(kBackgroundOpacity));
    painter.setBrush(tint);
    painter.drawRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
}

}  // namespace corvane::ui
