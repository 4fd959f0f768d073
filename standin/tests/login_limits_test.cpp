// Password guessing: failures counted per member ID and per client address, answered at once
// without a password check past the limit; password checks capped in number at once.

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "login_limits.hpp"
#include "password.hpp"
#include "test_support.hpp"

namespace {

using namespace std::chrono_literals;
using namespace drivoro::standin;
using standin_test::body_of;
using standin_test::form;
using standin_test::parse_json;
using standin_test::RawClient;
using standin_test::RunningService;
using standin_test::status_of;
using standin_test::text_of;

class FakeClock {
  public:
    LoginLimiter::Clock::time_point now() const { return now_; }
    void advance(std::chrono::seconds by) { now_ += by; }

  private:
    LoginLimiter::Clock::time_point now_{};
};

class Limiter : public ::testing::Test {
  protected:
    // True when let through; fails or succeeds the attempt at once.
    bool attempt(const std::string& id, const std::string& address, bool success = false) {
        auto admitted = limiter_.begin(id, address);
        auto* attempt = std::get_if<LoginLimiter::Attempt>(&admitted);
        if (attempt && success)
            attempt->succeeded();
        return attempt != nullptr;
    }
    std::chrono::seconds wait(const std::string& id, const std::string& address) {
        auto admitted = limiter_.begin(id, address);
        auto* wait = std::get_if<std::chrono::seconds>(&admitted);
        if (!wait)
            std::get<LoginLimiter::Attempt>(admitted).cancelled();
        return wait ? *wait : 0s;
    }

    FakeClock clock_;
    LoginLimiter limiter_{LoginLimits{10, 60s}, [this] { return clock_.now(); }};
};

TEST_F(Limiter, StopsAnIdAfterTenFailuresFromAnyAddresses) {
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(attempt("victim", "10.0.0." + std::to_string(i)));
    EXPECT_FALSE(attempt("victim", "10.0.1.1"));
    EXPECT_FALSE(attempt("VICTIM", "10.0.1.2")) << "IDs compare without letter case";
    EXPECT_TRUE(attempt("other", "10.0.1.3"));
}

TEST_F(Limiter, StopsAnAddressAfterTenFailuresOnAnyIds) {
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(attempt("id" + std::to_string(i), "192.0.2.7"));
    EXPECT_FALSE(attempt("fresh", "192.0.2.7"));
    EXPECT_TRUE(attempt("fresh", "192.0.2.8"));
}

TEST_F(Limiter, LetsThroughAgainAsFailuresLeaveTheWindow) {
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(attempt("victim", "192.0.2.1"));
        clock_.advance(1s);
    }
    // Failures at 0 s .. 9 s; now 10 s: the first one leaves the window at 60 s.
    EXPECT_EQ(wait("victim", "192.0.2.2"), 50s);
    clock_.advance(49s);
    EXPECT_EQ(wait("victim", "192.0.2.2"), 1s);
    clock_.advance(1s);
    EXPECT_TRUE(attempt("victim", "192.0.2.2"));
    EXPECT_FALSE(attempt("victim", "192.0.2.2")) << "the failure just made counts again";
}

TEST_F(Limiter, CountsAttemptsStillRunning) {
    std::vector<LoginLimiter::Attempt> running;
    for (int i = 0; i < 10; ++i) {
        auto admitted = limiter_.begin("victim", "192.0.2." + std::to_string(i));
        ASSERT_TRUE(std::holds_alternative<LoginLimiter::Attempt>(admitted));
        running.push_back(std::move(std::get<LoginLimiter::Attempt>(admitted)));
    }
    // They will end soon, failed or not: no telling to wait a whole minute.
    EXPECT_EQ(wait("victim", "192.0.2.99"), 1s);
    for (auto& a : running)
        a.cancelled();
    EXPECT_TRUE(attempt("victim", "192.0.2.99")) << "cancelled attempts do not count";
}

TEST_F(Limiter, SuccessClearsTheIdButNotTheAddress) {
    for (int i = 0; i < 9; ++i)
        ASSERT_TRUE(attempt("owner", "192.0.2.1"));
    ASSERT_TRUE(attempt("owner", "192.0.2.1", true));
    // The ID starts afresh; the address still has its nine failures and one more to go.
    ASSERT_TRUE(attempt("owner", "192.0.2.1"));
    EXPECT_FALSE(attempt("owner", "192.0.2.1"));
    EXPECT_TRUE(attempt("owner", "192.0.2.2", true));
}

TEST(PasswordGateTest, RunsUpToItsCapAndQueuesUpToItsLimit) {
    PasswordGate gate(2, 1);
    auto first = gate.enter();
    auto second = gate.enter();
    ASSERT_TRUE(first && second);
    std::atomic<bool> third_in = false;
    std::thread third([&] { third_in = gate.enter().has_value(); });
    while (gate.waiting() == 0)
        std::this_thread::yield();
    EXPECT_FALSE(gate.enter()) << "one running check too many and none waiting";
    EXPECT_FALSE(third_in);
    first.reset();
    third.join();
    EXPECT_TRUE(third_in);
    EXPECT_EQ(gate.checks(), 3u);
}

// ---- the login answer ----

constexpr const char* kLogin = "/mobile/back_c/getLogin.json";

std::string login_request(const std::string& id, const std::string& password) {
    const std::string body = form({{"mem_ID", id}, {"mem_pw", password}});
    return std::string("POST ") + kLogin + " HTTP/1.1\r\nHost: x\r\n" +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The login answer for a request from `source`, one of the loopback addresses.
rapidjson::Document login_from(int port, const std::string& source, const std::string& id,
                               const std::string& password) {
    RawClient client(port, source);
    EXPECT_TRUE(client.send(login_request(id, password)));
    const std::string answer = client.read_answer();
    EXPECT_EQ(status_of(answer), 200) << answer;
    return parse_json(body_of(answer));
}

class LoginLimitsInService : public ::testing::Test {
  protected:
    void SetUp() override {
        service_ = std::make_unique<RunningService>(
            [this](Service::Options& o) { o.password_gate = gate_; });
        // Cheap hashes: the wrong passwords below cost milliseconds, not seconds.
        const auto model = service_->store().find_model("TESTCAM1");
        for (int i = 0; i < 12; ++i) {
            service_->store().add_member(NewMember{
                "member" + std::to_string(i), hash_password("right" + std::to_string(i), 1000), "",
                378, model->idx, "", "2020-01-01 00:00:00", "2099-01-01 00:00:00"});
        }
    }

    // The answer's shape must stay that of the ordinary refusal.
    static void expect_wait_refusal(const rapidjson::Document& answer) {
        EXPECT_EQ(text_of(answer, "flag"), "false");
        EXPECT_NE(text_of(answer, "msg").find("초 후에 다시 시도하세요"), std::string::npos)
            << text_of(answer, "msg");
        EXPECT_EQ(answer.MemberCount(), 2u);
    }

    std::shared_ptr<PasswordGate> gate_ = std::make_shared<PasswordGate>(2, 16);
    std::unique_ptr<RunningService> service_;
};

TEST_F(LoginLimitsInService, TenFailuresForOneIdStopTheCheckingOfItsPasswords) {
    for (int i = 0; i < 10; ++i) {
        // From ten addresses, so that only the ID's limit is reached.
        const auto answer =
            login_from(service_->port(), "127.0.1." + std::to_string(i + 1), "member0", "wrong");
        ASSERT_EQ(text_of(answer, "msg"), "아이디 또는 패스워드가 일치하지 않습니다.") << i;
    }
    const auto checks = gate_->checks();
    // Even the right password is not looked at now.
    expect_wait_refusal(login_from(service_->port(), "127.0.1.20", "member0", "right0"));
    expect_wait_refusal(login_from(service_->port(), "127.0.1.21", "MEMBER0", "wrong"));
    EXPECT_EQ(gate_->checks(), checks);
    // Other members log in as usual.
    EXPECT_EQ(text_of(login_from(service_->port(), "127.0.1.22", "member1", "right1"), "flag"),
              "true");
}

TEST_F(LoginLimitsInService, TenFailuresFromOneAddressStopItsLogins) {
    for (int i = 0; i < 10; ++i) {
        const auto answer =
            login_from(service_->port(), "127.0.2.1", "member" + std::to_string(i), "wrong");
        ASSERT_EQ(text_of(answer, "flag"), "false") << i;
    }
    const auto checks = gate_->checks();
    expect_wait_refusal(login_from(service_->port(), "127.0.2.1", "member11", "right11"));
    EXPECT_EQ(gate_->checks(), checks);
    EXPECT_EQ(text_of(login_from(service_->port(), "127.0.2.2", "member11", "right11"), "flag"),
              "true");
}

TEST(PasswordChecksInService, BeyondTheCapLoginsAndSignUpsAreRefusedAtOnce) {
    auto gate = std::make_shared<PasswordGate>(1, 0);
    RunningService service([&](Service::Options& o) { o.password_gate = gate; });
    auto held = gate->enter();
    ASSERT_TRUE(held);
    const auto checks = gate->checks();

    const auto login = login_from(service.port(), "127.0.3.1", "demo0001", "drivoro1234");
    EXPECT_EQ(text_of(login, "flag"), "false");
    EXPECT_EQ(login.MemberCount(), 2u);
    httplib::Client client("127.0.0.1", service.port());
    const auto join = client.Post("/mobile/varbek/join.json",
                                  form({{"mem_ID", "busy01"},
                                        {"mem_pw", "pw"},
                                        {"bu_date", ""},
                                        {"mInfo_CODE", "378"},
                                        {"bInfo_IDX", "101"},
                                        {"cp_no", ""}}),
                                  "application/x-www-form-urlencoded");
    ASSERT_TRUE(join);
    EXPECT_EQ(text_of(parse_json(join->body), "flag"), "false");
    EXPECT_FALSE(service.store().member_exists("busy01"));
    EXPECT_EQ(gate->checks(), checks);

    // A refusal for lack of room is no failed login: the demo member is not held back.
    held.reset();
    EXPECT_EQ(text_of(login_from(service.port(), "127.0.3.1", "demo0001", "drivoro1234"), "flag"),
              "true");
}

}  // namespace
