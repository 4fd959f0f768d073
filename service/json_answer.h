#pragma once

#include <QString>
#include <memory>
#include <optional>

#include <rapidjson/document.h>

// Read access to a service answer with the program's rules: the first member of an exact
// name, numbers as their literal text, null as "", objects and arrays refused as text.
// Failures throw JsonAccessError with the user-visible text.
class JsonNode {
  public:
    explicit JsonNode(const rapidjson::Value* value) : value_(value) {}

    QString text(const char* key) const;
    bool has(const char* key) const;
    JsonNode array(const char* key) const;  // the member, which must be an array

    bool isObject() const { return value_->IsObject(); }
    bool isArray() const { return value_->IsArray(); }
    int size() const;  // elements of an array
    JsonNode at(int index) const;

  private:
    const rapidjson::Value& member(const char* key) const;
    const rapidjson::Value* value_;
};

class JsonAnswer {
  public:
    // Empty when the text is not exactly one complete JSON value.
    static std::optional<JsonAnswer> parse(const QString& text);

    JsonNode root() const { return JsonNode(doc_.get()); }
    QString text(const char* key) const { return root().text(key); }
    JsonNode array(const char* key) const { return root().array(key); }

    // "flag" with a-z upper-cased equals "TRUE"; a missing flag throws.
    bool success() const;

  private:
    std::shared_ptr<rapidjson::Document> doc_;
};

// Letters a-z to A-Z, nothing else: the service's codes and flags are compared this way.
QString asciiUpper(const QString& text);

// The success rule on a flag's text.
bool flagMeansSuccess(const QString& flag);

// An answer that is judged by its flag alone: the flag's text, whether it means success and,
// only then, the message.
struct FlagAnswer {
    QString flag;
    bool accepted = false;
    QString msg;  // read only when accepted
};
// Empty when the text is not JSON. Throws JsonAccessError when the flag is missing, or the
// message of an accepted answer.
std::optional<FlagAnswer> readFlagAnswer(const QString& json);
