#include "app/guard.h"

#include <exception>

#include "app/request_wait.h"
#include "base/errors.h"
#include "platform/platform.h"

void runGuarded(const std::function<void()>& action) {
    try {
        action();
    } catch (const RequestAbandoned&) {
        // Its window was closed, or it came while another request was out: nothing to say.
    } catch (const AppError& e) {
        platform::current().errorBox(e.text());
    } catch (const std::bad_alloc&) {
        platform::current().errorBox(QStringLiteral("Out of memory"));
    } catch (const std::exception& e) {
        platform::current().errorBox(QString::fromUtf8(e.what()));
    } catch (...) {
        platform::current().errorBox(QStringLiteral("Unexpected error"));
    }
}
