// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/KeyboardFocus.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QKeyEvent>
#include <QObject>
#include <QWidget>

namespace corvane::ui {

namespace {

bool isSliderKey(int key) {
    switch (key) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            return true;
        default:
            return false;
    }
}

class FocusKeys : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::ShortcutOverride) {
            auto* key = static_cast<QKeyEvent*>(event);
            // Accepting the override hands the key to the slider instead of the shortcut.
            if (qobject_cast<QAbstractSlider*>(watched) && key->modifiers() == Qt::NoModifier &&
                isSliderKey(key->key())) {
                event->accept();
                return true;
            }
        } else if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            auto* button = qobject_cast<QAbstractButton*>(watched);
            if (button && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
                button->click();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

void makeKeyboardReachable(QWidget* root) {
    auto* filter = new FocusKeys(root);
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QAbstractSlider*>(w)) continue;
        w->setFocusPolicy(Qt::StrongFocus);
        w->installEventFilter(filter);
    }
}

}  // namespace corvane::ui
