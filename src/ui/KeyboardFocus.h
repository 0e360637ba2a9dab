// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QWidget;

namespace corvane::ui {

// Puts every button and slider under `root` in the tab order, in the order they were made. A
// focused slider keeps its own arrow, Home, End and page keys (the window's shortcuts for them
// wait until it lets go of focus); a focused button is pressed with Return or Enter (Space stays
// Play/Pause everywhere). Main thread; call once the children exist.
void makeKeyboardReachable(QWidget* root);

}  // namespace corvane::ui
