#pragma once

#include <QString>
#include <stdexcept>

// Every failure that ends a user's action travels as an AppError; its text is what the
// standard error box shows, so it must never carry a password.
class AppError : public std::runtime_error {
  public:
    explicit AppError(const QString& text) : std::runtime_error(text.toStdString()), text_(text) {}
    const QString& text() const { return text_; }

  private:
    QString text_;
};

// No connection, a time-out, a broken or oversized transfer.
class TransportError : public AppError {
  public:
    using AppError::AppError;
};

// A key missing from a service answer, or a value of the wrong kind.
class JsonAccessError : public AppError {
  public:
    using AppError::AppError;
};

// A file that cannot be read or written.
class FileError : public AppError {
  public:
    using AppError::AppError;

    // "Cannot open file "path". reason" and its kin, with the path as the system writes it.
    static FileError cannotOpen(const QString& path, const QString& reason);
    static FileError cannotRead(const QString& path, const QString& reason);
    static FileError cannotCreate(const QString& path, const QString& reason);
};

// The operating system's text for an errno value.
QString systemErrorText(int error);
