#pragma once

#include <QApplication>
#include <QMouseEvent>
#include <QObject>
#include <QString>
#include <QWidget>
#include <QtGlobal>
#include <type_traits>

#include "account/tflogin.h"
#include "account/tfmember.h"
#include "app/tfmain.h"
#include "payments/tfpaymentlist.h"
#include "ui_tflogin.h"
#include "ui_tfmain.h"
#include "ui_tfmember.h"
#include "ui_tfpaymentlist.h"

// Tests find a window's controls by object name, as a user's tools would; the generated
// layout classes only tell each control's type.
template <typename Window>
struct LayoutOf;
template <>
struct LayoutOf<TFMain> {
    using type = Ui::TFMain;
};
template <>
struct LayoutOf<TFLogin> {
    using type = Ui::TFLogin;
};
template <>
struct LayoutOf<TFMember> {
    using type = Ui::TFMember;
};
template <>
struct LayoutOf<TFPaymentList> {
    using type = Ui::TFPaymentList;
};

template <typename Control>
Control* findControl(const QObject* window, const char* name) {
    Control* control = window ? window->findChild<Control*>(QString::fromLatin1(name)) : nullptr;
    if (!control)
        qFatal("The window has no control named %s", name);
    return control;
}

// UI(window, Memo1): the control of that name in window (a pointer or smart pointer).
#define UI(window, name)                                                                        \
    (findControl<std::remove_pointer_t<                                                         \
         decltype(LayoutOf<std::remove_cvref_t<decltype(*(window))>>::type::name)>>(&*(window), \
                                                                                    #name))

// A left click in the middle of control, as the mouse gives it: a disabled control takes none.
// (The Windows Qt has no QtTest.)
inline void clickWithMouse(QWidget* control) {
    const QPointF at = QRectF(control->rect()).center();
    const QPointF global = control->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(control, &press);
    QApplication::sendEvent(control, &release);
}
