// The request dispatcher against a real HTTP server, and the rules for reading answers.
#include <QElapsedTimer>
#include <chrono>
#include <thread>

#include "base/errors.h"
#include "base/http_transfer.h"
#include "service/json_answer.h"
#include "support/app_fixture.h"
#include "support/controls.h"
#include "support/main_window_state.h"

namespace {

const std::string kAccepted =
    R"({"flag":"true","msg":"ok","mInfo_NAME":"M","mInfo_CODE":"378","bInfo_modelName":"X","bInfo_IDX":"1",)"
    R"("payment_Sdate":"2025-01-01","payment_Edate":"2026-01-01","sfd_filename":"f","sfd_filepath":"/p/",)"
    R"("sfd_version":"2.5","bInfo_scdown_directory":"root"})";

struct EncodingCase {
    const char* name;
    QStringList entries;
    std::string body;
};

class DispatcherEncoding : public AppFixture, public ::testing::WithParamInterface<EncodingCase> {
    void setUpServer(TestServer& s) override { s.answer("/echo", "{}"); }
};

TEST_P(DispatcherEncoding, SendsFormEncodedBody) {
    const EncodingCase& c = GetParam();
    EXPECT_FALSE(window->FHttpPost(server.url("/echo"), c.entries, 999));
    const TestServer::Request r = server.lastRequest();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.body, c.body);
    EXPECT_EQ(r.contentType, "application/x-www-form-urlencoded");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DispatcherEncoding,
    ::testing::Values(
        EncodingCase{"TwoEntriesInOrder", {"mem_ID=abc", "mem_pw=123"}, "mem_ID=abc&mem_pw=123"},
        EncodingCase{"BlankAsPlus", {"mem_ID=a b"}, "mem_ID=a+b"},
        EncodingCase{"AmpersandAndEqualsEscaped", {"v=a&b=c"}, "v=a%26b%3Dc"},
        EncodingCase{"KoreanAsUtf8Bytes", {"name=한"}, "name=%ED%95%9C"},
        EncodingCase{"UnreservedKept", {"k=*-._Az09"}, "k=*-._Az09"},
        EncodingCase{"OthersUpperHex", {"k=~/@+"}, "k=%7E%2F%40%2B"},
        EncodingCase{"EntryWithoutEquals", {"a b&c"}, "a+b%26c"},
        EncodingCase{"EmptyValue", {"mem_ID=", "mem_pw="}, "mem_ID=&mem_pw="},
        EncodingCase{"EmptyList", {}, ""}, EncodingCase{"NameEncodedToo", {"a b=c d"}, "a+b=c+d"}),
    [](const auto& info) { return std::string(info.param.name); });

class Dispatcher : public AppFixture {};

TEST_F(Dispatcher, OnlyTwoHundredRangeRunsTheHandler) {
    struct Case {
        int status;
        bool result;
    };
    for (const Case c : {Case{200, true}, Case{204, false}, Case{302, false}, Case{404, false},
                         Case{500, false}}) {
        TestServer s;
        s.http().Post("/login", [&](const httplib::Request&, httplib::Response& res) {
            res.status = c.status;
            if (c.status == 302)
                res.set_header("Location", "/elsewhere");
            if (c.status != 204)
                res.set_content(kAccepted, "application/json");
        });
        s.answer("/elsewhere", kAccepted);
        s.start();
        UI(window, Memo1)->clear();
        EXPECT_EQ(window->FHttpPost(s.url("/login"), {}, 1), c.result) << c.status;
        EXPECT_EQ(logLines().isEmpty(), !c.result) << c.status;
        EXPECT_TRUE(s.requests().empty()) << "redirection followed for " << c.status;
    }
    EXPECT_TRUE(fake.boxes.isEmpty());
}

TEST_F(Dispatcher, AnswerThatIsNotJsonRunsHandlerWhichDeclines) {
    TestServer s;
    s.answer("/login", "<html><body>maintenance</body></html>", 200, "text/html");
    s.start();
    EXPECT_FALSE(window->FHttpPost(s.url("/login"), {}, 1));
    EXPECT_TRUE(logLines().isEmpty());
    EXPECT_TRUE(state(window).UserInfo.bb_make_Name.isEmpty());
}

TEST_F(Dispatcher, MissingFlagEscapesAsReadingFailure) {
    TestServer s;
    s.answer("/login", R"({"msg":"x"})");
    s.start();
    try {
        window->FHttpPost(s.url("/login"), {}, 1);
        FAIL() << "no error";
    } catch (const JsonAccessError& e) {
        EXPECT_EQ(e.text(), QStringLiteral("Value 'flag' not found"));
    }
}

TEST_F(Dispatcher, UnknownModeSendsButRunsNoHandler) {
    TestServer s;
    s.answer("/login", kAccepted);
    s.start();
    EXPECT_FALSE(window->FHttpPost(s.url("/login"), {"a=1"}, 3));
    EXPECT_EQ(s.requests().size(), 1u);
    EXPECT_TRUE(logLines().isEmpty());
}

TEST_F(Dispatcher, BodyDecodedAsUtf8WhateverTheDeclaredCharset) {
    TestServer s;
    s.answer("/login", R"({"flag":"false","msg":"아이디 없음"})", 200,
             "application/json; charset=euc-kr");
    s.start();
    EXPECT_FALSE(window->FHttpPost(s.url("/login"), {}, 1));
    EXPECT_EQ(logLines(), QStringList{QStringLiteral("아이디 없음")});
}

TEST_F(Dispatcher, TransportFailureThrowsWithClientText) {
    try {
        // Nothing listens on port 1 of the loopback address.
        window->FHttpPost(QStringLiteral("http://127.0.0.1:1/login"), {}, 1);
        FAIL() << "no error";
    } catch (const TransportError& e) {
        EXPECT_FALSE(e.text().isEmpty());
    }
}

TEST_F(Dispatcher, OversizedAnswerIsATransportFailureNotMemoryExhaustion) {
    TestServer s;
    s.http().Post("/big", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/json",
                                         [](size_t offset, httplib::DataSink& sink) {
                                             static const std::string chunk(1 << 20, ' ');
                                             if (offset > (std::size_t{40} << 20))
                                                 return false;
                                             sink.write(chunk.data(), chunk.size());
                                             return true;
                                         });
    });
    s.start();
    try {
        window->FHttpPost(s.url("/big"), {}, 1);
        FAIL() << "no error";
    } catch (const TransportError& e) {
        EXPECT_TRUE(e.text().contains(QStringLiteral("32 MiB"))) << e.text().toStdString();
    }
}

// The read time-out is the longest silence between two pieces of data.
TEST_F(Dispatcher, SilentServerFailsAfterTheReadTimeout) {
    TestServer s;
    s.http().Post("/silent", [](const httplib::Request&, httplib::Response& res) {
        std::this_thread::sleep_for(std::chrono::seconds(6));
        res.set_content(kAccepted, "application/json");
    });
    s.start();
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(window->FHttpPost(s.url("/silent"), {}, 1), TransportError);
    EXPECT_GE(clock.elapsed(), 2900);
    EXPECT_LT(clock.elapsed(), 5500);
}

TEST_F(Dispatcher, TricklingServerDoesNotTimeOut) {
    TestServer s;
    s.http().Post("/trickle", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider(
            "application/json", [](size_t offset, httplib::DataSink& sink) {
                const std::string& body = kAccepted;
                if (offset >= body.size()) {
                    sink.done();
                    return true;
                }
                // Five pieces two seconds apart: ten seconds in all, never three of silence.
                const size_t piece = offset == 0 ? 1 : (body.size() - 1 + 3) / 4;
                if (offset > 0)
                    std::this_thread::sleep_for(std::chrono::seconds(2));
                sink.write(body.data() + offset, std::min(piece, body.size() - offset));
                return true;
            });
    });
    s.start();
    EXPECT_TRUE(window->FHttpPost(s.url("/trickle"), {}, 1));
}

struct ReadCase {
    const char* name;
    const char* json;
    const char* key;
    const char* expected;  // nullptr: an error with errorText
    const char* errorText;
};

class JsonRules : public ::testing::TestWithParam<ReadCase> {};

TEST_P(JsonRules, ReadsKeyAsText) {
    const ReadCase& c = GetParam();
    const auto answer = JsonAnswer::parse(QString::fromUtf8(c.json));
    ASSERT_TRUE(answer);
    if (c.expected) {
        EXPECT_EQ(answer->text(c.key), QString::fromUtf8(c.expected));
    } else {
        try {
            answer->text(c.key);
            FAIL() << "no error";
        } catch (const JsonAccessError& e) {
            EXPECT_EQ(e.text(), QString::fromUtf8(c.errorText));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonRules,
    ::testing::Values(
        ReadCase{"String", R"({"k":"a\"b\u00e9"})", "k", "a\"bé", nullptr},
        ReadCase{"NumberKeepsLiteralText", R"({"k":378})", "k", "378", nullptr},
        ReadCase{"DecimalKeepsLiteralText", R"({"k":1.50})", "k", "1.50", nullptr},
        ReadCase{"NullIsEmpty", R"({"k":null})", "k", "", nullptr},
        ReadCase{"True", R"({"k":true})", "k", "true", nullptr},
        ReadCase{"False", R"({"k":false})", "k", "false", nullptr},
        ReadCase{"FirstOfDuplicates", R"({"k":"first","k":"second"})", "k", "first", nullptr},
        ReadCase{"NameIsCaseSensitive", R"({"K":"x"})", "k", nullptr, "Value 'k' not found"},
        ReadCase{"Missing", R"({"a":"x"})", "msg", nullptr, "Value 'msg' not found"},
        ReadCase{"ObjectRefused", R"({"k":{}})", "k", nullptr,
                 "Conversion from object to string is not supported"},
        ReadCase{"ArrayRefused", R"({"k":[1]})", "k", nullptr,
                 "Conversion from array to string is not supported"},
        ReadCase{"TopLevelArrayHasNoKeys", R"([{"k":"x"}])", "k", nullptr, "Value 'k' not found"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonAnswer, AcceptsExactlyOneValue) {
    for (const char* bad :
         {"", "   ", "{} {}", "{}x", "{\"a\":", "<html></html>", "{'a':1}", "[1,]"}) {
        EXPECT_FALSE(JsonAnswer::parse(QString::fromUtf8(bad))) << bad;
    }
    for (const char* good : {" {} ", "[]", "\"x\"", "12", "null", "{\"a\":1}\r\n"}) {
        EXPECT_TRUE(JsonAnswer::parse(QString::fromUtf8(good))) << good;
    }
}

TEST(JsonAnswer, HostileNestingDoesNotOverflowTheStack) {
    const QString deep = QString(200000, QLatin1Char('[')) + QString(200000, QLatin1Char(']'));
    EXPECT_TRUE(JsonAnswer::parse(deep));
}

TEST(JsonAnswer, ArrayReadNeedsAnArray) {
    const auto answer = JsonAnswer::parse(QStringLiteral(R"({"list":[{"a":"1"}],"s":"x"})"));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->array("list").size(), 1);
    EXPECT_EQ(answer->array("list").at(0).text("a"), QStringLiteral("1"));
    EXPECT_THROW(answer->array("s"), JsonAccessError);
    EXPECT_THROW(answer->array("none"), JsonAccessError);
}

TEST(SuccessFlag, UpperCasesAsciiLettersOnly) {
    struct Case {
        const char* json;
        bool success;
    };
    for (const Case c : {Case{R"({"flag":"TRUE"})", true}, Case{R"({"flag":"true"})", true},
                         Case{R"({"flag":"True"})", true}, Case{R"({"flag":true})", true},
                         Case{R"({"flag":"FALSE"})", false}, Case{R"({"flag":"N"})", false},
                         Case{R"({"flag":""})", false}, Case{R"({"flag":null})", false},
                         Case{R"({"flag":" true"})", false}, Case{R"({"flag":"ｔrue"})", false}}) {
        EXPECT_EQ(JsonAnswer::parse(QString::fromUtf8(c.json))->success(), c.success) << c.json;
    }
    EXPECT_THROW(JsonAnswer::parse(QStringLiteral("{}"))->success(), JsonAccessError);
}

}  // namespace

namespace {

// Time spent storing a piece (a slow card) is not silence of the service.
TEST(Transfer, SlowSinkIsNotTakenForAStall) {
    TestServer s;
    s.http().Get("/file", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider(
            "application/octet-stream", [](size_t offset, httplib::DataSink& sink) {
                if (offset >= 2) {
                    sink.done();
                    return true;
                }
                if (offset == 1)
                    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
                sink.write("x", 1);
                return true;
            });
    });
    s.start();
    bool first = true;
    const BodySink slowCard = [&](const char*, std::size_t) {
        if (first)
            std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        first = false;
        return true;
    };
    EXPECT_EQ(
        httpTransfer(HttpRequest{s.url("/file"), false, {}, {}}, TransferLimits{}, slowCard).status,
        200);
}

// A failure while storing a piece stops the transfer with its own text; it never unwinds
// through libcurl.
TEST(Transfer, FailingSinkStopsWithItsOwnText) {
    TestServer s;
    s.serveFile("/file", std::string(100000, 'x'));
    s.start();
    const BodySink failing = [](const char*, std::size_t) -> bool {
        throw FileError("The card was removed");
    };
    try {
        httpTransfer(HttpRequest{s.url("/file"), false, {}, {}}, TransferLimits{}, failing);
        FAIL() << "no error";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.text(), "The card was removed");
    }
}

}  // namespace
