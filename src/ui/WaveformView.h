// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QWidget>

class QPainter;
#include <vector>

#include "model/StudioModel.h"

namespace corvane::ui {

// One stem's peak envelope as thin bars centred on the middle line, with the playhead, on a
// faint rounded background. Pressing or dragging anywhere seeks the song to that place.
// Sizes in device-independent pixels. It follows the model's position itself and repaints only
// the few pixels the playhead leaves and enters, so playback costs little. Main thread.
class WaveformView : public QWidget {
    Q_OBJECT
public:
    explicit WaveformView(model::StudioModel& model, QWidget* parent = nullptr);

    void setPeaks(std::vector<float> peaks);
    void setColor(const QColor& color);
    void setDimmed(bool dimmed);

    const std::vector<float>& peaks() const { return m_peaks; }
    QColor color() const { return m_color; }
    bool dimmed() const { return m_dimmed; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void seekTo(double x);
    // Fills the bars that reach into `dirty` (widget pixels).
    void paintBars(QPainter& painter, const QRect& dirty) const;
    // The playhead's left edge for the model's position, or NaN when none is drawn.
    double playheadX() const;
    void movePlayhead();

    model::StudioModel& m_model;
    std::vector<float> m_peaks;
    QColor m_color;
    bool m_dimmed = false;
    double m_playheadX;  // where the playhead was last drawn or asked to be; NaN for none
};

}  // namespace corvane::ui
