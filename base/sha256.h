#pragma once

#include <QByteArray>
#include <cstddef>
#include <memory>

// SHA-256 over data that arrives in pieces. Uses the system's crypto library where the
// build has it (several times faster than a plain implementation: a database is hashed
// while it arrives and again when it is read back from the card).
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void add(const char* data, std::size_t size);
    // The 32-byte digest; the object starts over afterwards.
    QByteArray result();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// 64 hexadecimal digits, either case, as 32 bytes; empty when the text is not one.
QByteArray sha256FromHex(const QByteArray& hex);
