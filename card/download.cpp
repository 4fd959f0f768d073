#include "card/download.h"

#include "base/errors.h"
#include "service/json_answer.h"

namespace card {

QString ipFromEchoAnswer(const QByteArray& body) {
    QString text;
    text.reserve(body.size());
    for (const char c : body)
        text.append(static_cast<unsigned char>(c) < 0x80 ? QLatin1Char(c) : QLatin1Char('?'));
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(text);
    if (!answer || !answer->root().isObject())
        return QString();
    try {
        return answer->text("ip");
    } catch (const AppError&) {
        return QString();
    }
}

}  // namespace card
