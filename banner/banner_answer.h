#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The strip shows one picture: a longer list is cut here, so that a hostile answer of many
// thousands of elements cannot hold up the start for hours.
inline constexpr int kMaxBannerElements = 16;

// The banner list answer read without a window.
struct BannerAnswer {
    // The picture addresses of the elements read before the first one that failed, in order.
    QStringList pictures;
    // False when an element failed: a missing key, or a picture not on the service host.
    bool complete = true;
};

// Empty when the text is not JSON. Throws JsonAccessError when "data" is missing or not an
// array. Only the first kMaxBannerElements elements are read.
std::optional<BannerAnswer> readBannerAnswer(const QString& json);
