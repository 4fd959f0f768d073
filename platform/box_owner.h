#pragma once

#include <QList>

class QWidget;

namespace platform {

// The window a message box belongs to. Without one the box must still come to the front and
// hold off the program's windows (task-modal on Windows).
struct BoxOwner {
    QWidget* window = nullptr;
    bool taskModal = false;
};

// The requested window when it is shown; else the modal window, the active one, or the
// topmost shown window of the program (topFirst: the program's windows, topmost first). Never a
// hidden or minimised window: a box owned by the hidden main window at start-up has no taskbar
// button and can open behind the browser.
BoxOwner boxOwner(QWidget* requested, const QList<QWidget*>& topFirst);

}  // namespace platform
