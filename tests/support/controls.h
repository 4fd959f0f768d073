#pragma once

#include <QObject>
#include <QString>
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
