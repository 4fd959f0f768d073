#pragma once

#include <QObject>
#include <functional>
#include <utility>

// The one place where a failure that ends a user's action is caught: it is shown in the
// standard error box and the program carries on. Nothing may cross Qt's event loop.
void runGuarded(const std::function<void()>& action);

// Connects a signal to a handler that runs inside the guard.
template <typename Sender, typename Signal, typename Handler>
QMetaObject::Connection connectGuarded(Sender* sender, Signal signal, QObject* context,
                                       Handler handler) {
    return QObject::connect(sender, signal, context,
                            [handler = std::move(handler)](auto&&...) { runGuarded(handler); });
}
