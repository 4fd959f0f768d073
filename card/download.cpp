#include "card/download.h"

#include "service/errors.h"
#include "service/form_encoding.h"
#include "service/json_answer.h"

namespace card {

QString downloadRequestUrl(const QString& mainUrl, const QString& userId, const QString& modelName,
                           const QString& serial, const QString& ip) {
    return mainUrl + QStringLiteral("back_c/sdcard_down.json?") + QStringLiteral("mem_ID=") +
           urlQueryValue(userId) + QStringLiteral("&bInfo_modelName=") + urlQueryValue(modelName) +
           QStringLiteral("&bInfo_serialno=") + urlQueryValue(serial) + QStringLiteral("&Con_IP=") +
           urlQueryValue(ip);
}

std::optional<QString> databaseUrl(const QString& serviceHost, const QString& path,
                                   const QString& fileName) {
    if (!path.startsWith(QLatin1Char('/')))
        return std::nullopt;
    return QStringLiteral("http://") + serviceHost + path + fileName;
}

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
