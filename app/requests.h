#pragma once

#include <QString>

// Requests beside the service's own, each waited for as request_wait says.
namespace requests {

// Sets up what every transfer needs, on a thread beside Qt's start-up: the transfer library
// and, on Windows, the user's proxy settings, whose script is asked about the program's hosts
// at once (within its usual budget) instead of inside the first request.
void prepareTransfers();

// The machine's public address as the IP-echo service reports it (5 s to connect and between
// two pieces); empty on any failure. A window closed meanwhile still abandons the action.
QString publicAddress();

}  // namespace requests
