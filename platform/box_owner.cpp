#include "platform/box_owner.h"

#include <QApplication>
#include <QWidget>

namespace platform {
namespace {

QWidget* shownWindow(QWidget* widget) {
    if (!widget)
        return nullptr;
    QWidget* window = widget->window();
    const Qt::WindowType type = window->windowType();
    if (type != Qt::Window && type != Qt::Dialog)
        return nullptr;  // a tooltip, a drop-down list
    return window->isVisible() && !window->isMinimized() ? window : nullptr;
}

}  // namespace

BoxOwner boxOwner(QWidget* requested, const QList<QWidget*>& topFirst) {
    QWidget* window = shownWindow(requested);
    // A modal window holds off the others: a box owned by one of them would sit behind it.
    if (!window)
        window = shownWindow(QApplication::activeModalWidget());
    if (!window)
        window = shownWindow(QApplication::activeWindow());
    for (qsizetype i = 0; !window && i < topFirst.size(); ++i)
        window = shownWindow(topFirst.at(i));
    return BoxOwner{window, window == nullptr};
}

}  // namespace platform
