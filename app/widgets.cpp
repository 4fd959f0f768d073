#include "app/widgets.h"

#include <QLineEdit>
#include <QProxyStyle>

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

}  // namespace

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
}
