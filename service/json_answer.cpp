#include "service/json_answer.h"

#include "base/errors.h"

namespace {

const char* kindName(const rapidjson::Value& v) {
    if (v.IsObject())
        return "object";
    if (v.IsArray())
        return "array";
    if (v.IsString())
        return "string";
    if (v.IsBool())
        return "boolean";
    if (v.IsNull())
        return "null";
    return "number";
}

[[noreturn]] void conversionError(const rapidjson::Value& found, const char* wanted) {
    throw JsonAccessError(QStringLiteral("Conversion from %1 to %2 is not supported")
                              .arg(QLatin1String(kindName(found)), QLatin1String(wanted)));
}

}  // namespace

const rapidjson::Value& JsonNode::member(const char* key) const {
    if (value_->IsObject()) {
        // FindMember walks the members in order, so the first of duplicate names wins.
        const auto it = value_->FindMember(key);
        if (it != value_->MemberEnd()) {
            return it->value;
        }
    }
    throw JsonAccessError(QStringLiteral("Value '%1' not found").arg(QString::fromUtf8(key)));
}

bool JsonNode::has(const char* key) const {
    return value_->IsObject() && value_->FindMember(key) != value_->MemberEnd();
}

QString JsonNode::text(const char* key) const {
    const rapidjson::Value& v = member(key);
    if (v.IsString()) {
        // Numbers arrive here too: they are parsed as their literal text.
        return QString::fromUtf8(v.GetString(), static_cast<qsizetype>(v.GetStringLength()));
    }
    if (v.IsBool())
        return v.GetBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (v.IsNull())
        return QString();
    conversionError(v, "string");
}

JsonNode JsonNode::array(const char* key) const {
    const rapidjson::Value& v = member(key);
    if (!v.IsArray()) {
        conversionError(v, "array");
    }
    return JsonNode(&v);
}

int JsonNode::size() const {
    return value_->IsArray() ? static_cast<int>(value_->Size()) : 0;
}

JsonNode JsonNode::at(int index) const {
    return JsonNode(&(*value_)[static_cast<rapidjson::SizeType>(index)]);
}

std::optional<JsonAnswer> JsonAnswer::parse(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    auto doc = std::make_shared<rapidjson::Document>();
    // Iterative parsing keeps a hostile, deeply nested answer from exhausting the stack.
    constexpr unsigned flags =
        rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseIterativeFlag;
    doc->Parse<flags>(utf8.constData(), static_cast<size_t>(utf8.size()));
    if (doc->HasParseError()) {
        return std::nullopt;
    }
    JsonAnswer answer;
    answer.doc_ = std::move(doc);
    return answer;
}

QString asciiUpper(const QString& text) {
    QString upper = text;
    for (QChar& c : upper) {
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z')) {
            c = QChar(c.unicode() - 'a' + 'A');
        }
    }
    return upper;
}

bool flagMeansSuccess(const QString& flag) {
    return asciiUpper(flag) == QLatin1String("TRUE");
}

bool JsonAnswer::success() const {
    return flagMeansSuccess(text("flag"));
}

std::optional<FlagAnswer> readFlagAnswer(const QString& json) {
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(json);
    if (!answer)
        return std::nullopt;
    FlagAnswer result;
    result.flag = answer->text("flag");
    result.accepted = flagMeansSuccess(result.flag);
    if (result.accepted)
        result.msg = answer->text("msg");
    return result;
}
