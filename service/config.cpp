#include "service/config.h"

Config Config::builtIn() {
    return Config{
        QStringLiteral(DRIVORO_SERVICE_HOST),        QStringLiteral(DRIVORO_IPECHO_HOST),
        QStringLiteral(DRIVORO_MAKER_DOWNLOAD_HOST), QStringLiteral(DRIVORO_MAKER_SUPPORT_HOST),
        QStringLiteral(DRIVORO_HELP_PHONE),          QStringLiteral(DRIVORO_ENQUIRY_PHONE)};
}

Config& Config::instance() {
    static Config config = builtIn();
    return config;
}
