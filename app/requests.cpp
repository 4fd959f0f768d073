#include "app/requests.h"

#include "app/request_wait.h"
#include "base/http_transfer.h"
#include "card/download.h"
#include "service/addresses.h"
#ifdef _WIN32
#include "platform/windows/proxy_settings.h"
#endif

namespace requests {

void prepareTransfers() {
#ifdef _WIN32
    // The hosts of the first requests: the banner list, its pictures and the address echo.
    platform::win::startUserProxyRouter(
        {addresses::bannerList(),
         addresses::bannerPicture(QStringLiteral("/")).value_or(addresses::bannerList()),
         addresses::ipEcho()});
#endif
    prepareHttpTransfers();
}

QString publicAddress() {
    try {
        HttpRequest request{addresses::ipEcho(), false, {}, {}};
        return request_wait::run<QString>([request](const std::atomic<bool>& cancel) mutable {
            request.cancel = &cancel;
            const HttpResponse response =
                httpExchange(request, TransferLimits{5000, 5000, 64 * 1024});
            if (!isSuccessStatus(response.status))
                return QString();
            return card::ipFromEchoAnswer(response.body);
        });
    } catch (const RequestAbandoned&) {
        throw;
    } catch (const std::exception&) {
        return QString();
    }
}

}  // namespace requests
