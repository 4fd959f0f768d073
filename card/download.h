#pragma once

#include <QByteArray>
#include <QString>

// The pieces of the database download that need no window.
namespace card {

// The "ip" member of an IP-echo answer, read as ASCII; empty for anything else.
QString ipFromEchoAnswer(const QByteArray& body);

}  // namespace card
