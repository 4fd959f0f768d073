#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "form.hpp"

namespace {

using drivoro::standin::Form;
using drivoro::standin::parse_form;

struct FormCase {
    const char* name;
    std::string text;
    // nullopt: the text must be refused.
    std::optional<std::vector<std::pair<std::string, std::string>>> fields;
};

const std::vector<FormCase> kFormCases = {
    {"two_fields_in_order",
     "mem_ID=demo0001&mem_pw=x",
     {{{"mem_ID", "demo0001"}, {"mem_pw", "x"}}}},
    {"plus_is_blank", "a=b+c", {{{"a", "b c"}}}},
    {"escaped_plus_stays_plus", "a=b%2Bc", {{{"a", "b+c"}}}},
    {"escaped_separators_do_not_split", "a=x%26y%3Dz", {{{"a", "x&y=z"}}}},
    {"hangul_as_utf8_bytes", "id=%ED%95%9C%EA%B8%80", {{{"id", "한글"}}}},
    {"lower_case_hex", "a=%e2%82%ac", {{{"a", "€"}}}},
    {"raw_utf8_passes", "m=\xED\x95\x9C", {{{"m", "한"}}}},
    {"empty_value", "cp_no=", {{{"cp_no", ""}}}},
    {"no_equals_sign", "flag", {{{"flag", ""}}}},
    {"value_keeps_later_equals", "a=b=c", {{{"a", "b=c"}}}},
    {"empty_entries_skipped", "&&a=1&&", {{{"a", "1"}}}},
    {"empty_text", "", {std::vector<std::pair<std::string, std::string>>{}}},
    {"duplicate_names_kept_in_order", "a=1&a=2", {{{"a", "1"}, {"a", "2"}}}},
    {"escape_cut_short", "a=%4", std::nullopt},
    {"escape_at_end", "a=%", std::nullopt},
    {"escape_not_hex", "a=%zz", std::nullopt},
    {"escape_in_name", "%G1=x", std::nullopt},
    {"nul_byte", "a=x%00y", std::nullopt},
    {"lone_continuation_byte", "a=%80", std::nullopt},
    {"truncated_sequence", "a=%ED%95", std::nullopt},
    {"overlong_slash", "a=%C0%AF", std::nullopt},
    {"utf16_surrogate", "a=%ED%A0%80", std::nullopt},
    {"raw_latin1_byte", "a=\xE9t\xE9", std::nullopt},
};

class FormDecoding : public ::testing::TestWithParam<FormCase> {};

TEST_P(FormDecoding, DecodesOrRefuses) {
    const auto& c = GetParam();
    const auto form = parse_form(c.text);
    if (!c.fields) {
        EXPECT_FALSE(form.has_value());
        return;
    }
    ASSERT_TRUE(form.has_value());
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& f : *form)
        got.emplace_back(f.name, f.value);
    EXPECT_EQ(got, *c.fields);
}

INSTANTIATE_TEST_SUITE_P(Cases, FormDecoding, ::testing::ValuesIn(kFormCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FormLookup, TakesTheFirstOfDuplicateNames) {
    const auto form = parse_form("mem_ID=first&mem_ID=second");
    ASSERT_TRUE(form);
    ASSERT_NE(drivoro::standin::find_field(*form, "mem_ID"), nullptr);
    EXPECT_EQ(*drivoro::standin::find_field(*form, "mem_ID"), "first");
    EXPECT_EQ(drivoro::standin::find_field(*form, "mem_pw"), nullptr);
}

TEST(HtmlEscape, NeutralisesMarkup) {
    EXPECT_EQ(drivoro::standin::html_escape(R"(<b a="1">'x'&</b>)"),
              "&lt;b a=&quot;1&quot;&gt;&#39;x&#39;&amp;&lt;/b&gt;");
}

}  // namespace
