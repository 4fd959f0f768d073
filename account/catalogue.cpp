#include "account/catalogue.h"

#include "service/json_answer.h"

std::optional<CatalogueAnswer> decodeCatalogue(const QString& json) {
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(json);
    if (!answer)
        return std::nullopt;
    const JsonNode list = answer->array("list");
    CatalogueAnswer result;
    const int count = list.size();
    result.indexes.reserve(count);
    result.names.reserve(count);
    for (int i = 0; i < count; ++i) {
        const JsonNode element = list.at(i);
        QString index;
        try {
            index = element.text("bInfo_IDX");
        } catch (const JsonAccessError& e) {
            result.failure = e;
            break;
        }
        QString name;
        try {
            name = element.text("bInfo_modelName");
        } catch (const JsonAccessError& e) {
            result.failure = e;
            result.failedIndex = index;
            break;
        }
        result.indexes.append(std::move(index));
        result.names.append(std::move(name));
    }
    return result;
}
