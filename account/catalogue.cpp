#include "account/catalogue.h"

#include "service/json_answer.h"

std::optional<CatalogueAnswer> decodeCatalogue(const QString& json) {
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(json);
    if (!answer)
        return std::nullopt;
    const JsonNode list = answer->array("list");
    CatalogueAnswer result;
    const int count = list.size();
    result.models.reserve(count);
    for (int i = 0; i < count; ++i) {
        const JsonNode element = list.at(i);
        CatalogueModel model;
        try {
            model.index = element.text("bInfo_IDX");
        } catch (const JsonAccessError& e) {
            result.failure = e;
            break;
        }
        try {
            model.name = element.text("bInfo_modelName");
        } catch (const JsonAccessError& e) {
            result.failure = e;
            result.failedIndex = model.index;
            break;
        }
        result.models.append(std::move(model));
    }
    return result;
}
