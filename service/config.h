#pragma once

#include <QString>

// The addresses and phone numbers compiled into the program. Tests point the program at
// their own server by changing the one instance.
struct Config {
    QString serviceHost;
    QString ipEchoHost;
    QString makerDownloadHost;
    QString makerSupportHost;
    QString helpPhone;
    QString enquiryPhone;

    static Config& instance();
    static Config builtIn();
};
