#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <optional>
#include <span>

// The dashcam's device record: 66 cells of 16 bits, each one character code, seen either as
// the whole array or as the four named regions.
struct TbbData {
    std::array<char16_t, 66> Barray{};

    std::span<char16_t, 30> sn() { return std::span<char16_t, 66>(Barray).subspan<0, 30>(); }
    std::span<char16_t, 20> ModelName() {
        return std::span<char16_t, 66>(Barray).subspan<30, 20>();
    }
    std::span<char16_t, 8> regDate() { return std::span<char16_t, 66>(Barray).subspan<50, 8>(); }
    std::span<char16_t, 8> VerInfo() { return std::span<char16_t, 66>(Barray).subspan<58, 8>(); }
    std::span<const char16_t, 30> sn() const {
        return std::span<const char16_t, 66>(Barray).subspan<0, 30>();
    }
    std::span<const char16_t, 20> ModelName() const {
        return std::span<const char16_t, 66>(Barray).subspan<30, 20>();
    }
    std::span<const char16_t, 8> regDate() const {
        return std::span<const char16_t, 66>(Barray).subspan<50, 8>();
    }
    std::span<const char16_t, 8> VerInfo() const {
        return std::span<const char16_t, 66>(Barray).subspan<58, 8>();
    }

    void clear() { Barray.fill(0); }
};

// A field's text: up to its first cell holding 0, or the whole field.
template <std::size_t N>
QString cellText(std::span<const char16_t, N> cells) {
    QString text;
    for (const char16_t c : cells) {
        if (c == 0)
            break;
        text.append(QChar(c));
    }
    return text;
}

// The first five lines of backbbinfo.cfg.
struct TcfgData {
    QString bbinfo;
    QString space;
    QString model;
    QString swVer;
    QString fwVer;

    // The bytes lines 2-5 had in a file without a byte-order mark. The program does not know
    // what the dashcam keeps there, so they go back to the card exactly as they came, even
    // where the code page cannot decode them. Empty when the text came from elsewhere.
    std::optional<QByteArray> spaceBytes;
    std::optional<QByteArray> modelBytes;
    std::optional<QByteArray> swVerBytes;
    std::optional<QByteArray> fwVerBytes;
};
