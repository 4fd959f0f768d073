#include "payments/pay_method.h"

#include "service/json_answer.h"

QString payMethodName(const QString& code) {
    struct Name {
        QLatin1String code;
        const char16_t* text;
    };
    static constexpr Name names[] = {
        {QLatin1String("CARD"), u"신용카드"},
        {QLatin1String("VCARD"), u"신용카드(ISP)"},
        {QLatin1String("VACCOUNT"), u"가상계좌"},
        {QLatin1String("BANK"), u"실시간계좌이체"},
    };
    const QString upper = asciiUpper(code);
    for (const Name& name : names) {
        if (upper == name.code)
            return QString::fromUtf16(name.text);
    }
    return code;
}
