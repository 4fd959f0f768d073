#include "app/widgets.h"

#include <QLayout>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>

namespace window_fit {
namespace {

// The frame around the client area; known once the system window exists.
QMargins frameOf(QWidget* window) {
    window->winId();
    const QWindow* handle = window->windowHandle();
    return handle ? handle->frameMargins() : QMargins();
}

// Moves the content into a vertical scroll area that fills the window.
void scrollContent(QWidget* window, int contentHeight) {
    auto* inner = new QWidget;
    // Takes the layout, and the controls it holds, off the window.
    inner->setLayout(window->layout());
    inner->setMinimumHeight(contentHeight);
    inner->setObjectName(QStringLiteral("scrolledContent"));
    inner->setAttribute(Qt::WA_StyledBackground);
    inner->setStyleSheet(QStringLiteral("#scrolledContent { background-color: white; }"));
    auto* area = new QScrollArea;
    area->setObjectName(QStringLiteral("contentScroll"));
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setWidget(inner);
    auto* rows = new QVBoxLayout(window);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->addWidget(area);
}

}  // namespace

void placeOnScreen(QWidget* window) {
    const QScreen* screen = window->screen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    const QMargins frame = frameOf(window);
    QRect outer = window->geometry().marginsAdded(frame);
    outer.moveCenter(available.center());
    outer.moveLeft(std::max(outer.left(), available.left()));
    outer.moveTop(std::max(outer.top(), available.top()));
    window->move(outer.topLeft());
}

void fitToScreen(QWidget* window) {
    const QScreen* screen = window->screen();
    if (screen && window->layout()) {
        const QMargins frame = frameOf(window);
        const int room = screen->availableGeometry().height() - frame.top() - frame.bottom();
        if (window->height() > room) {
            const int least = window->layout()->minimumSize().height();
            if (least > room) {
                scrollContent(window, least);
                window->setMinimumHeight(0);
            }
            window->resize(window->width(), std::max(room, 1));
        }
    }
    placeOnScreen(window);
}

}  // namespace window_fit
