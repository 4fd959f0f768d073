// The stand-in's form decoder: any text ends in a form or a refusal, and whatever the
// program's encoder sends decodes to the same fields.
#include <QStringList>

#include "form.hpp"
#include "fuzz.h"
#include "service/form_encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes = fuzz::bytesOf(data, size);
    drivoro::standin::parse_form(std::string_view(bytes.constData(), bytes.size()));

    // The input's NUL-separated pieces as "name=value" entries.
    QStringList entries;
    for (const QByteArray& piece : bytes.split('\0')) {
        if (!piece.isEmpty())
            entries.append(QString::fromUtf8(piece));
    }
    const QByteArray body = formEncodeList(entries);
    const auto form = drivoro::standin::parse_form(std::string_view(body.constData(), body.size()));
    if (!form)
        fuzz::broken("the program's form was refused");
    if (form->size() != static_cast<std::size_t>(entries.size()))
        fuzz::broken("the form has another number of fields");
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const qsizetype eq = entries.at(i).indexOf(QLatin1Char('='));
        const QString name = eq < 0 ? entries.at(i) : entries.at(i).left(eq);
        const QString value = eq < 0 ? QString() : entries.at(i).mid(eq + 1);
        const drivoro::standin::FormField& field = form->at(static_cast<std::size_t>(i));
        if (QString::fromStdString(field.name) != name ||
            QString::fromStdString(field.value) != value)
            fuzz::broken("a field decoded differently");
    }
    return 0;
}
