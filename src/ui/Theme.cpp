// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/Theme.h"

#include <QApplication>
#include <QFile>
#include <QLabel>

// Resources in a static library must be registered by name, outside any namespace.
static void registerIconResources() { Q_INIT_RESOURCE(icons); }

namespace corvane::ui {

QColor kindColor(dsp::StemKind kind) {
    switch (kind) {
        case dsp::StemKind::vocals:
            return colors::pink;
        case dsp::StemKind::drums:
            return colors::orange;
        case dsp::StemKind::bass:
            return colors::indigo;
        case dsp::StemKind::other:
            return colors::teal;
    }
    return colors::gray;
}

QColor secondaryText(const QPalette& palette) {
    QColor c = palette.color(QPalette::WindowText);
    c.setAlphaF(0.55f);
    return c;
}

namespace {
constexpr const char* kSecondaryProperty = "corvaneSecondaryText";
}  // namespace

void setSecondaryText(QLabel* label, const QPalette& palette) {
    QPalette own = label->palette();
    own.setColor(QPalette::WindowText, secondaryText(palette));
    label->setPalette(own);
    label->setProperty(kSecondaryProperty, true);
}

void refreshSecondaryText(QWidget* root) {
    for (QLabel* label : root->findChildren<QLabel*>())
        if (label->property(kSecondaryProperty).toBool()) setSecondaryText(label, root->palette());
}

QColor primaryText(const QPalette& palette) { return palette.color(QPalette::WindowText); }

QColor quaternaryFill(const QPalette& palette) {
    QColor c = palette.color(QPalette::WindowText);
    c.setAlphaF(0.10f * 0.5f);
    return c;
}

QFont font(TextStyle style) {
    QFont f = QApplication::font();
    switch (style) {
        case TextStyle::body:
            f.setPixelSize(13);
            break;
        case TextStyle::headline:
            f.setPixelSize(13);
            f.setBold(true);
            break;
        case TextStyle::caption:
            f.setPixelSize(10);
            break;
        case TextStyle::caption2:
            f.setPixelSize(10);
            break;
        case TextStyle::title2:
            f.setPixelSize(17);
            break;
        case TextStyle::title3:
            f.setPixelSize(15);
            break;
    }
    return f;
}

QFont monospacedDigits(QFont f) {
    // The UI fonts of Linux desktops (DejaVu, Noto, Cantarell) draw digits at one width already;
    // fixing the kerning keeps a changing number from shifting sideways.
    f.setKerning(false);
    return f;
}

QIcon themedIcon(const QString& name) {
    static const bool registered = (registerIconResources(), true);
    (void)registered;
    const QString bundled = QStringLiteral(":/corvane/icons/%1.svg").arg(name);
    QIcon fallback(bundled);
    if (name == QLatin1String("corvane")) return fallback;
    return QIcon::fromTheme(name, fallback);
}

QString prominentButtonStyle(const QColor& tint) {
    return QStringLiteral(
               "QPushButton { background-color: %1; color: white; border: none; "
               "border-radius: 6px; padding: 4px 10px; font-weight: 600; }"
               "QPushButton:pressed { background-color: %2; }")
        .arg(tint.name(), tint.darker(120).name());
}

}  // namespace corvane::ui
