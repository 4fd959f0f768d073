#include "app/widgets.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QIconEngine>
#include <QImageReader>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>

#include "app/string_grid_accessible.h"

namespace {

class HashPasswordStyle : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '#';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// Screen readers present a ClickLabel as the button it is, named by its accessible name or
// else its caption, and can press it.
class ClickLabelAccessible : public QAccessibleWidget {
  public:
    explicit ClickLabelAccessible(ClickLabel* label)
        : QAccessibleWidget(label, QAccessible::Button) {}

    QString text(QAccessible::Text t) const override {
        QString value = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && value.isEmpty())
            value = label()->text().simplified();
        return value;
    }
    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << pressAction();
    }
    void doAction(const QString& name) override {
        if (name == pressAction() && label()->isEnabled())
            emit label()->clicked();
        else
            QAccessibleWidget::doAction(name);
    }

  private:
    ClickLabel* label() const { return static_cast<ClickLabel*>(widget()); }
};

QAccessibleInterface* clickLabelAccessible(const QString& className, QObject* object) {
    auto* label = qobject_cast<ClickLabel*>(object);
    if (label &&
        (className == QLatin1String("ClickLabel") || className == QLatin1String("ClickPanel") ||
         className == QLatin1String("ClickImage"))) {
        return new ClickLabelAccessible(label);
    }
    return nullptr;
}

}  // namespace

// Tab focus only: a click leaves the focus where it was, as the drive list's focus decides
// the wording of a failed card read.
ClickLabel::ClickLabel(QWidget* parent, Qt::WindowFlags f) : QLabel(parent, f) {
    setFocusPolicy(Qt::TabFocus);
}

ClickLabel::ClickLabel(const QString& text, QWidget* parent, Qt::WindowFlags f)
    : QLabel(text, parent, f) {
    setFocusPolicy(Qt::TabFocus);
}

void ClickLabel::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Space:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (!event->isAutoRepeat() && isEnabled())
                emit clicked();
            event->accept();
            return;
        default:
            QLabel::keyPressEvent(event);
    }
}

// A dotted frame in two tones, visible on the light and the dark panels alike.
void ClickLabel::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    const QRect frame = rect().adjusted(1, 1, -2, -2);
    painter.setPen(QPen(Qt::white, 1));
    painter.drawRect(frame);
    painter.setPen(QPen(Qt::black, 1, Qt::DotLine));
    painter.drawRect(frame);
}

void showPasswordAsHashes(QLineEdit* edit) {
    auto* style = new HashPasswordStyle;
    style->setParent(edit);
    edit->setStyle(style);
    edit->setEchoMode(QLineEdit::Password);
}

void placeCaptionLeftOf(QLabel* caption, const QLineEdit* edit) {
    caption->adjustSize();
    const QRect e = edit->geometry();
    caption->move(e.left() - 3 - caption->width(), e.top() + (e.height() - caption->height()) / 2);
}

void loadWindowResources() {
    Q_INIT_RESOURCE(resources);
    static const bool installed = [] {
        QAccessible::installFactory(clickLabelAccessible);
        QAccessible::installFactory(stringGridAccessible);
        return true;
    }();
    Q_UNUSED(installed);
}

QImage builtInImage(const QString& path) {
    QImageReader reader(path, path.endsWith(QLatin1String(".png")) ? "png" : "jpeg");
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

QPixmap builtInPicture(const QString& path) {
    return QPixmap::fromImage(builtInImage(path));
}

namespace {

// Until the pictures are needed, an icon of pictures still being decoded; then the plain icon
// of those pictures does the work, disabled and selected looks included.
class DecodedIconEngine : public QIconEngine {
  public:
    explicit DecodedIconEngine(std::shared_future<QList<QImage>> images)
        : images_(std::move(images)) {}

    QIconEngine* clone() const override { return new DecodedIconEngine(images_); }

    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return decoded().availableSizes(mode, state);
    }

    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return decoded().actualSize(size, mode, state);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return decoded().pixmap(size, mode, state);
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        decoded().paint(painter, rect, Qt::AlignCenter, mode, state);
    }

  private:
    const QIcon& decoded() {
        if (icon_.isNull()) {
            for (const QImage& image : images_.get())
                icon_.addPixmap(QPixmap::fromImage(image));
        }
        return icon_;
    }

    std::shared_future<QList<QImage>> images_;
    QIcon icon_;
};

}  // namespace

QIcon builtInIcon(QStringList paths) {
    return QIcon(new DecodedIconEngine(decodeBuiltInPictures(std::move(paths)).share()));
}

std::future<QList<QImage>> decodeBuiltInPictures(QStringList paths) {
    // The first picture is read on the caller's thread: it sets up the image plugins (the
    // plugin folder's scan, the format's own plugin), which on Windows crashed Qt now and then
    // when done on the decoding thread while the caller built its window.
    QList<QImage> first;
    if (!paths.isEmpty())
        first.append(builtInImage(paths.takeFirst()));
    return std::async(std::launch::async, [first = std::move(first), paths = std::move(paths)] {
        QList<QImage> images = first;
        for (const QString& path : paths)
            images.append(builtInImage(path));
        return images;
    });
}
