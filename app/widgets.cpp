#include "app/widgets.h"

#include <QLineEdit>

void placeCaptionLeftOf(QLabel* caption, const QLineEdit* edit) {
    caption->adjustSize();
    const QRect e = edit->geometry();
    caption->move(e.left() - 3 - caption->width(), e.top() + (e.height() - caption->height()) / 2);
}

void loadWindowResources() {
    Q_INIT_RESOURCE(resources);
}
