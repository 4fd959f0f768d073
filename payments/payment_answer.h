#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// The payment list answer read without a window.
struct PaymentElement {
    // "regdate", "paymethod" (as the service sends it) and "amount", read in this order up to
    // the first that cannot be read.
    QStringList cells;
    // The reading failure that stopped this element, and with it the list.
    std::optional<QString> error;
    // An array in the element's place fails before it is given a row.
    bool isArray = false;
};

struct PaymentAnswer {
    // In list order, ending with the first element that failed.
    QList<PaymentElement> elements;
};

// Empty when the text is not JSON. Throws JsonAccessError when "list" is missing or not an
// array.
std::optional<PaymentAnswer> readPaymentAnswer(const QString& json);
