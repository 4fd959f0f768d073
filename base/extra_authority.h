#pragma once

#include <QByteArray>
#include <memory>

// An authority that https transfers trust beside the system's own, never in their place. Only a
// demonstration build (scripts/run, DRIVORO_EXTRA_CA_FILE) and the tests name one; a build for
// drivers never does. Linux only: Windows' TLS (Schannel) would trust a given authority alone.
namespace extra_authority {

// One or more PEM certificates; an empty text removes the authority. Throws
// std::invalid_argument when the text holds no certificate.
void set(const QByteArray& pem);

// Makes an https transfer on the libcurl handle trust the authority too, through
// CURLOPT_SSL_CTX_FUNCTION, which adds it to the OpenSSL store libcurl has filled with the
// system's authorities. The result keeps the authority alive until the transfer ends; it is
// empty when no authority is set. Throws TransportError when libcurl cannot (a TLS library
// other than OpenSSL).
std::shared_ptr<const void> applyTo(void* easyHandle);

}  // namespace extra_authority
