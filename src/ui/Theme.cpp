// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/Theme.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QGuiApplication>
#include <QIconEngine>
#include <QLabel>
#include <QPainter>
#include <optional>

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
    // Measured on the window's background: 0.72 keeps 4.5:1 in light and dark palettes alike.
    QColor c = palette.color(QPalette::WindowText);
    c.setAlphaF(0.72f);
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
        case TextStyle::caption:  // secondary lines stay legible: not below 11 px
            f.setPixelSize(12);
            break;
        case TextStyle::caption2:
            f.setPixelSize(11);
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

namespace {

// Draws one of the bundled single-colour SVGs in a colour taken when it is drawn: the
// application palette's `role` (its disabled shade for a disabled control), or a fixed colour.
// A desktop switching between light and dark changes that palette, so the icons follow it.
class PaletteIconEngine : public QIconEngine {
public:
    PaletteIconEngine(QIcon shape, QPalette::ColorRole role, std::optional<QColor> fixed)
        : m_shape(std::move(shape)), m_role(role), m_fixed(std::move(fixed)) {}

    QIconEngine* clone() const override { return new PaletteIconEngine(m_shape, m_role, m_fixed); }
    QString key() const override { return QStringLiteral("corvane-palette"); }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, scaledPixmap(rect.size(), mode, state, ratio));
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        QPixmap shape = m_shape.pixmap(size, scale, QIcon::Normal, state);
        QPainter painter(&shape);
        // Keeps the shape's coverage (its antialiased edges too), fills it with the colour.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(QRect(QPoint(), shape.size()), colour(mode));
        return shape;
    }
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }

private:
    QColor colour(QIcon::Mode mode) const {
        const QPalette palette = QGuiApplication::palette();
        QColor c = m_fixed.value_or(palette.color(QPalette::Active, m_role));
        if (mode == QIcon::Disabled) {
            c = m_fixed ? c : palette.color(QPalette::Disabled, m_role);
            c.setAlphaF(c.alphaF() * 0.6f);
        }
        return c;
    }

    QIcon m_shape;
    QPalette::ColorRole m_role;
    std::optional<QColor> m_fixed;
};

QIcon bundled(const QString& name) {
    static const bool registered = (registerIconResources(), true);
    (void)registered;
    return QIcon(QStringLiteral(":/corvane/icons/%1.svg").arg(name));
}

QIcon drawnIn(const QString& name, QPalette::ColorRole role, std::optional<QColor> fixed) {
    // The desktop's own icon theme, where it has the icon, is drawn for its palette already.
    if (QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
    return QIcon(new PaletteIconEngine(bundled(name), role, std::move(fixed)));
}

}  // namespace

QIcon themedIcon(const QString& name, QPalette::ColorRole role) {
    if (name == QLatin1String("corvane")) return bundled(name);  // the application's own colours
    return drawnIn(name, role, std::nullopt);
}

QIcon themedIcon(const QString& name, const QColor& colour) {
    return drawnIn(name, QPalette::ButtonText, colour);
}

IconLabel::IconLabel(const QString& name, int size, QPalette::ColorRole role, QWidget* parent)
    : QLabel(parent), m_icon(themedIcon(name, role)), m_size(size) {
    setPixmap(m_icon.pixmap(QSize(size, size), devicePixelRatioF()));
}

void IconLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange)
        setPixmap(m_icon.pixmap(QSize(m_size, m_size), devicePixelRatioF()));
    QLabel::changeEvent(event);
}

QString prominentButtonStyle(const QColor& tint) {
    return QStringLiteral(
               "QPushButton { background-color: %1; color: white; border: none; "
               "border-radius: 6px; padding: 4px 10px; font-weight: 600; }"
               "QPushButton:pressed { background-color: %2; }")
        .arg(tint.name(), tint.darker(120).name());
}

}  // namespace corvane::ui
