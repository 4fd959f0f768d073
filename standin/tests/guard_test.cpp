// What a client on the network may send and how long it may take: each limit, refused with
// its 4xx answer before the rest is read, and the service answering others meanwhile.

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "guard.hpp"
#include "test_support.hpp"

namespace {

using namespace std::chrono_literals;
using drivoro::standin::is_loopback_host;
using drivoro::standin::Service;
using standin_test::body_of;
using standin_test::RawClient;
using standin_test::RunningService;
using standin_test::status_of;

std::string login_head(const std::string& extra) {
    return "POST /mobile/back_c/getLogin.json HTTP/1.1\r\nHost: x\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\n" +
           extra + "\r\n";
}

std::string headers(int count, std::size_t value_size = 1) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += "X-Filler-" + std::to_string(i) + ": " + std::string(value_size, 'v') + "\r\n";
    return out;
}

bool json_answers(int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);
    const auto res = client.Get("/json");
    return res && res->status == 200;
}

class Guard : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { service_ = new RunningService; }
    static void TearDownTestSuite() { delete service_; }
    static RunningService* service_;
};

RunningService* Guard::service_ = nullptr;

TEST_F(Guard, RefusesBeforeReadingTheBody) {
    // Only the head is sent: an answer at all shows that the service did not wait for a body.
    const struct {
        const char* why;
        std::string head;
        int status;
    } cases[] = {
        {"chunked body", login_head("Transfer-Encoding: chunked\r\n"), 411},
        {"chunked body with a length too",
         login_head("Transfer-Encoding: chunked\r\nContent-Length: 20\r\n"), 411},
        {"another transfer coding", login_head("Transfer-Encoding: gzip\r\n"), 411},
        {"300 MiB body", login_head("Content-Length: 314572800\r\n"), 413},
        {"malformed length", login_head("Content-Length: 12abc\r\n"), 400},
        {"two different lengths", login_head("Content-Length: 5\r\nContent-Length: 6\r\n"), 400},
        {"101 headers", login_head(headers(99) + "Content-Length: 3\r\n"), 431},
        {"headers over 16 KiB", login_head(headers(10, 1700) + "Content-Length: 3\r\n"), 431},
        {"address over 8 KiB", "GET /json?" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", 414},
    };
    for (const auto& c : cases) {
        RawClient client(service_->port());
        ASSERT_TRUE(client.send(c.head)) << c.why;
        const std::string answer = client.read_to_end();
        EXPECT_EQ(status_of(answer), c.status) << c.why << ": " << answer;
        EXPECT_NE(answer.find("Connection: close"), std::string::npos) << c.why;
        EXPECT_FALSE(body_of(answer).empty()) << c.why;
        EXPECT_TRUE(client.closed()) << c.why;
    }
    EXPECT_TRUE(json_answers(service_->port()));
}

TEST_F(Guard, AcceptsRequestsAtTheLimits) {
    const struct {
        const char* why;
        std::string request;
    } cases[] = {
        // With Host, exactly 100 headers.
        {"100 headers", "GET /json HTTP/1.1\r\nHost: x\r\n" + headers(99) + "\r\n"},
        {"15 KiB of headers", "GET /json HTTP/1.1\r\nHost: x\r\n" + headers(10, 1500) + "\r\n"},
        {"blank lines before the request", "\r\n\r\nGET /json HTTP/1.1\r\nHost: x\r\n\r\n"},
    };
    for (const auto& c : cases) {
        RawClient client(service_->port());
        ASSERT_TRUE(client.send(c.request)) << c.why;
        const std::string answer = client.read_answer();
        EXPECT_EQ(status_of(answer), 200) << c.why << ": " << answer;
        EXPECT_EQ(body_of(answer), R"({"ip":"127.0.0.1"})") << c.why;
    }
}

TEST_F(Guard, StopsTakingEndlessHeadersEarly) {
    RawClient client(service_->port());
    ASSERT_TRUE(client.send("GET /json HTTP/1.1\r\nHost: x\r\n"));
    const std::string line = "X-Again-And-Again: 1\r\n";
    std::size_t sent = 0;
    // 3 million headers would be 66 MB; the answer must come long before, once the service
    // has read 16 KiB, though a busy machine may let socket buffers fill with a few MiB first.
    while (sent < 3'000'000 * line.size() && !client.answer_waiting() && client.send(line))
        sent += line.size();
    EXPECT_LT(sent, 16u * 1024u * 1024u);
    EXPECT_EQ(status_of(client.read_to_end()), 431);
}

TEST_F(Guard, AnswersPipelinedRequestsInOrder) {
    RawClient client(service_->port());
    ASSERT_TRUE(
        client.send("GET /pages/policy_use_back HTTP/1.1\r\nHost: x\r\n\r\n"
                    "POST /mobile/back_c/check_dupid.json HTTP/1.1\r\nHost: x\r\n"
                    "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 15\r\n\r\n"
                    "mem_ID=demo0001"
                    "GET /json HTTP/1.1\r\nHost: x\r\n\r\n"));
    const std::string page = client.read_answer();
    const std::string dupid = client.read_answer();
    const std::string echo = client.read_answer();
    EXPECT_NE(page.find("<title>이용약관</title>"), std::string::npos) << page;
    EXPECT_NE(body_of(dupid).find(R"("flag":"false")"), std::string::npos) << dupid;
    EXPECT_EQ(body_of(echo), R"({"ip":"127.0.0.1"})") << echo;
}

TEST_F(Guard, AsksForTheBodyWhenTheClientWaitsToSendIt) {
    RawClient client(service_->port());
    ASSERT_TRUE(client.send(login_head("Expect: 100-continue\r\nContent-Length: 22\r\n")));
    const std::string interim = client.read_until("\r\n\r\n");
    EXPECT_EQ(interim.rfind("HTTP/1.1 100 Continue\r\n", 0), 0u) << interim;
    ASSERT_TRUE(client.send("mem_ID=nobody&mem_pw=x"));
    const std::string answer = client.read_answer();
    EXPECT_EQ(status_of(answer), 200) << answer;
    EXPECT_NE(body_of(answer).find(R"("flag":"false")"), std::string::npos) << answer;
}

TEST(GuardTimes, SlowRequestIsCutOffAtTheTimeLimit) {
    RunningService service([](Service::Options& o) { o.limits.request_time = 500ms; });
    RawClient client(service.port());
    // One byte every 50 ms of a head that would take far longer than the limit to finish.
    const std::string head = "GET /json HTTP/1.1\r\nX-Slow: " + std::string(1000, 's');
    std::size_t sent = 0;
    while (sent < head.size() && !client.answer_waiting() && client.send(head.substr(sent, 1))) {
        ++sent;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_LT(sent, head.size()) << "the service waited for the whole head";
    EXPECT_EQ(status_of(client.read_to_end()), 408);
}

TEST(GuardTimes, IdleConnectionIsClosed) {
    RunningService service([](Service::Options& o) { o.limits.idle_time = 300ms; });
    RawClient client(service.port());
    EXPECT_EQ(client.read_to_end(10s), "");
    EXPECT_TRUE(client.closed());
}

TEST(GuardTimes, TricklingConnectionsLeaveOthersAnswered) {
    // Two workers only: the 32 trickling connections must not take any of them.
    RunningService service([](Service::Options& o) {
        o.limits.workers = 2;
        o.limits.request_time = 60s;
    });
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 32; ++i) {
        slow.push_back(std::make_unique<RawClient>(service.port()));
        ASSERT_TRUE(slow.back()->send("GET /json HTTP/1.1\r\nX-Slow: "));
    }
    std::atomic<bool> trickling = true;
    std::thread trickler([&] {
        while (trickling) {
            for (auto& client : slow)
                client->send("s");
            std::this_thread::sleep_for(100ms);
        }
    });
    int answered = 0;
    for (int i = 0; i < 5; ++i)
        answered += json_answers(service.port());
    trickling = false;
    trickler.join();
    EXPECT_EQ(answered, 5);
    for (auto& client : slow)
        EXPECT_FALSE(client->answer_waiting()) << "a trickling connection was cut, not waited on";
}

TEST(GuardLimits, RefusesConnectionsBeyondTheCap) {
    RunningService service([](Service::Options& o) { o.limits.max_connections = 4; });
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<RawClient>(service.port()));
        // Each is surely accepted once it has been answered.
        ASSERT_TRUE(held.back()->send("GET /json HTTP/1.1\r\nHost: x\r\n\r\n"));
        ASSERT_EQ(status_of(held.back()->read_answer()), 200);
    }
    RawClient extra(service.port());
    EXPECT_EQ(status_of(extra.read_to_end()), 503);
    held.clear();
    bool answered = false;
    for (int attempt = 0; attempt < 50 && !answered; ++attempt) {
        answered = json_answers(service.port());
        if (!answered)
            std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(answered) << "closed connections did not free their places";
}

TEST(LoopbackHost, TellsLocalOnlyAddressesFromOthers) {
    const struct {
        const char* host;
        bool loopback;
    } cases[] = {
        {"127.0.0.1", true}, {"127.8.9.10", true},    {"::1", true},
        {"localhost", true}, {"0.0.0.0", false},      {"::", false},
        {"", false},         {"192.168.1.20", false}, {"10.0.0.1", false},
        {"8.8.8.8", false},  {"2001:db8::1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_loopback_host(c.host), c.loopback) << c.host;
}

}  // namespace
