// The answer readers of every request kind on the same text: none may crash, hang or take
// a picture from another host.
#include "account/catalogue.h"
#include "account/login_answer.h"
#include "banner/banner_answer.h"
#include "base/errors.h"
#include "card/download.h"
#include "fuzz.h"
#include "payments/payment_answer.h"
#include "service/config.h"
#include "service/database_record.h"
#include "service/json_answer.h"

namespace {

template <typename Read>
void guarded(Read read) {
    try {
        read();
    } catch (const AppError&) {
        // A reading failure is the answer's fault and reaches the user as an error box.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes = fuzz::bytesOf(data, size);
    const QString json = QString::fromUtf8(bytes);

    guarded([&] { readLoginAnswer(json); });
    guarded([&] {
        if (const auto answer = readPaymentAnswer(json)) {
            for (const PaymentElement& e : answer->elements) {
                if (e.cells.size() > 3 || (e.cells.size() < 3 && !e.error))
                    fuzz::broken("a payment element without all its cells or an error");
            }
        }
    });
    guarded([&] {
        if (const auto answer = readBannerAnswer(json)) {
            if (answer->pictures.size() > kMaxBannerElements)
                fuzz::broken("more banner pictures than the bound");
            const QString base =
                QStringLiteral("https://") + Config::instance().serviceHost + QLatin1Char('/');
            for (const QString& url : answer->pictures) {
                if (!url.startsWith(base))
                    fuzz::broken("a banner picture off the service host");
            }
        }
    });
    guarded([&] {
        if (const auto answer = decodeCatalogue(json)) {
            if (answer->indexes.size() != answer->names.size())
                fuzz::broken("catalogue indexes and names differ in number");
        }
    });
    guarded([&] { readFlagAnswer(json); });  // duplicate-ID check and sign-up
    guarded([&] {
        if (const auto answer = JsonAnswer::parse(json)) {  // the download answer
            readDatabaseRecord(*answer);
            readFlagAnswer(json);
        }
    });
    // The address goes into the download request percent-encoded, whatever it holds.
    guarded([&] { card::ipFromEchoAnswer(bytes); });
    return 0;
}
