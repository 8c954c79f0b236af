// SPDX-License-Identifier: GPL-3.0-or-later
// Acting on widgets as the user would, for the desktop's remote control:
// unlike the widget state calls, these run the widget's own handlers.
// User-interface thread only.
#include <QAbstractButton>
#include <QAbstractSlider>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "platform/widgets/ab.h"

bool ab_button_enabled(Widget *w)
{
    const auto *button = qobject_cast<QAbstractButton *>(w);
    return button != nullptr && button->isEnabled();
}

// A click emits what a pointer's click emits, so the button's own link runs.
void ab_click(Widget *w)
{
    if (auto *button = qobject_cast<QAbstractButton *>(w))
        button->click();
}

bool ab_is_slider(Widget *w) { return qobject_cast<QAbstractSlider *>(w) != nullptr; }

void ab_slide_to(Widget *w, double fraction)
{
    auto *slider = qobject_cast<QAbstractSlider *>(w);
    if (slider == nullptr)
        return;
    slider->setValue(slider->minimum() + static_cast<int>(std::lround(fraction * (slider->maximum() - slider->minimum()))));
}

void ab_raise_window(Widget *window)
{
    if (window == nullptr)
        return;
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}
