#include "banner/banner_answer.h"

#include <algorithm>

#include "base/errors.h"
#include "service/addresses.h"
#include "service/json_answer.h"

std::optional<BannerAnswer> readBannerAnswer(const QString& json) {
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(json);
    if (!answer)
        return std::nullopt;
    const JsonNode data = answer->array("data");
    BannerAnswer result;
    const int count = std::min(data.size(), kMaxBannerElements);
    for (int i = 0; i < count; ++i) {
        const JsonNode element = data.at(i);
        try {
            const std::optional<QString> url = addresses::bannerPicture(element.text("img_path"));
            element.text("link_path");  // must be there; the click opens the support page
            if (!url) {
                result.complete = false;
                break;
            }
            result.pictures.append(*url);
        } catch (const JsonAccessError&) {
            result.complete = false;
            break;
        }
    }
    return result;
}
