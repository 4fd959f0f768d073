#pragma once

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Shared by the harnesses: the input as bytes, its pieces, and a stop that libFuzzer reports.
namespace fuzz {

inline QByteArray bytesOf(const std::uint8_t* data, std::size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

// The input cut at each NUL, so that one input feeds several text arguments.
inline QList<QByteArray> fieldsOf(const QByteArray& bytes, qsizetype count) {
    QList<QByteArray> fields = bytes.split('\0');
    while (fields.size() < count)
        fields.append(QByteArray());
    return fields;
}

[[noreturn]] inline void broken(const char* what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

}  // namespace fuzz
