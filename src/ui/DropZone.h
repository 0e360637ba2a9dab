// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>
#include <functional>

namespace corvane::ui {

// The idle screen: an invitation to drop a song, framed by a dashed rounded border that takes the
// accent colour while a file hovers. A click anywhere in it calls onClick (the open dialog).
// Named dropZone for tests. Main thread.
class DropZone : public QWidget {
public:
    explicit DropZone(QWidget* parent);

    void setTargeted(bool targeted);
    bool targeted() const { return m_targeted; }

    std::function<void()> onClick;

protected:
    void paintEvent(QPaintEvent*) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_targeted = false;
};

}  // namespace corvane::ui
