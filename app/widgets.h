#pragma once

#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QStringList>
#include <future>

#include "app/string_grid.h"

// The custom controls the window layouts name, and small helpers shared by the windows.

// A panel or picture that acts as a button: it reports a left click released over it, and
// Space or Enter while it has the keyboard focus, which it takes from Tab (not from a click).
class ClickLabel : public QLabel {
    Q_OBJECT
  public:
    explicit ClickLabel(QWidget* parent = nullptr, Qt::WindowFlags f = {});
    explicit ClickLabel(const QString& text, QWidget* parent = nullptr, Qt::WindowFlags f = {});

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
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
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

// One of the built-in pictures (":/pictures/NAME.png" or ".jpg"), read as the format its name
// says. Left to guess a PNG's format, Qt loads every image plugin installed to ask each.
QImage builtInImage(const QString& path);
QPixmap builtInPicture(const QString& path);
// The built-in pictures at paths: the first decoded at once, the others on a thread of their own
// while the caller lays out its window.
std::future<QList<QImage>> decodeBuiltInPictures(QStringList paths);
// An icon of the built-in pictures at paths, one per size, decoded on a thread of their own; the
// first window or box that draws it waits for them.
QIcon builtInIcon(QStringList paths);

// Windows that fit the screen they open on: a laptop at 150 % has about 680 pixels of height
// for a window, less than the main window's design height.
namespace window_fit {

// Centres the window, frame and title bar included, on its screen's available area (without
// the taskbar), and keeps its top-left corner inside it.
void placeOnScreen(QWidget* window);

// Where the window is taller than the available area: opens it at the available height, its
// layout's stretching row (the log) giving up what it must; when even the layout's minimum does
// not fit, the content scrolls vertically within the window. Then places it on the screen.
void fitToScreen(QWidget* window);

}  // namespace window_fit
