#pragma once

#include <QLabel>
#include <QMouseEvent>

#include "app/string_grid.h"

// The custom controls the window layouts name, and small helpers shared by the windows.

// A panel or picture that acts as a button: it reports a left click released over it.
class ClickLabel : public QLabel {
    Q_OBJECT
  public:
    using QLabel::QLabel;

  signals:
    void clicked();

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && isEnabled() &&
            rect().contains(event->position().toPoint())) {
            emit clicked();
        }
        QLabel::mouseReleaseEvent(event);
    }
};

// Panels with a caption used as buttons.
class ClickPanel : public ClickLabel {
    Q_OBJECT
  public:
    using ClickLabel::ClickLabel;
};

// Pictures used as buttons.
class ClickImage : public ClickLabel {
    Q_OBJECT
  public:
    using ClickLabel::ClickLabel;
};

class QLineEdit;
// Hides what is typed into a password field, showing every character as "#".
void showPasswordAsHashes(QLineEdit* edit);

// Puts a labelled edit's caption on its left, its right edge three pixels before the edit,
// sized to its text.
void placeCaptionLeftOf(QLabel* caption, const QLineEdit* edit);

// Registers the built-in pictures; the resource lives in a static library, so each window
// calls this before loading its layout.
void loadWindowResources();
