// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QPalette>
#include <QString>

class QWidget;

#include "dsp/common/StemKind.h"

namespace corvane::ui {

// The named colours of the design, as shown in light mode. Faint backgrounds and secondary text
// come from the palette instead, so a dark desktop theme stays readable.
namespace colors {
inline const QColor pink{0xFF, 0x2D, 0x55};
inline const QColor orange{0xFF, 0x95, 0x00};
inline const QColor indigo{0x58, 0x56, 0xD6};
inline const QColor teal{0x30, 0xB0, 0xC7};
inline const QColor yellow{0xFF, 0xCC, 0x00};
inline const QColor red{0xFF, 0x3B, 0x30};
inline const QColor gray{0x8E, 0x8E, 0x93};
inline const QColor accent{0x00, 0x7A, 0xFF};
}  // namespace colors

// The strip colour of a stem kind.
QColor kindColor(dsp::StemKind kind);

// Secondary text: the palette's text colour at reduced strength.
QColor secondaryText(const QPalette& palette);
// Draws `label`'s text in the secondary colour of `palette` (the window's, or a parent's that
// already knows of a theme change) and marks it, so refreshSecondaryText() can redo it.
void setSecondaryText(QLabel* label, const QPalette& palette);
// Re-applies the secondary colour from `root`'s palette to every marked label under it: a label
// given a colour of its own no longer follows the desktop's theme by itself.
void refreshSecondaryText(QWidget* root);
// The primary foreground (ordinary text) colour.
QColor primaryText(const QPalette& palette);
// A faint fill of the foreground colour (the quaternary level), for bar backgrounds.
QColor quaternaryFill(const QPalette& palette);

// Text styles, in device-independent pixels, derived from the application font's family.
enum class TextStyle { body, headline, caption, caption2, title2, title3 };
QFont font(TextStyle style);
// The same font with digits of equal width, for numbers that change in place.
QFont monospacedDigits(QFont font);

// A freedesktop icon-theme icon, or our own bundled SVG of the same name where the desktop has
// no icon theme (or not that icon): media-playback-start, media-playback-pause,
// media-playback-stop, document-open, dialog-information, document-save, document-import,
// microphone-sensitivity-muted, and the application's own "corvane" waveform glyph. The bundled
// ones are drawn in the application palette's `role` at the time they are drawn (or in a fixed
// `colour`, for a button of its own colour), so they keep their contrast in dark and light.
QIcon themedIcon(const QString& name, QPalette::ColorRole role = QPalette::ButtonText);
QIcon themedIcon(const QString& name, const QColor& colour);

// A label showing a themed icon at `size` that draws it again when the palette changes.
class IconLabel : public QLabel {
public:
    IconLabel(const QString& name, int size, QPalette::ColorRole role, QWidget* parent);

protected:
    void changeEvent(QEvent* event) override;

private:
    QIcon m_icon;
    int m_size;
};

// A button filled in `tint` with white text: the prominent bordered style.
QString prominentButtonStyle(const QColor& tint);

}  // namespace corvane::ui
