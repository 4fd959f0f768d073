// The service over real HTTP: an in-process server on a free port, a cpp-httplib client.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "files.hpp"
#include "password.hpp"
#include "seed.hpp"
#include "service.hpp"
#include "store.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace drivoro::standin;
using standin_test::form;
using standin_test::parse_json;
using standin_test::read_file;
using standin_test::TempDir;
using standin_test::text_of;

constexpr const char* kForm = "application/x-www-form-urlencoded";
const std::regex kDateTime(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})");

class StandinService : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        signal(SIGPIPE, SIG_IGN);
        dir_ = new TempDir;
        files_ = dir_->path() / "files";
        store_ = open_or_create(dir_->path() / "standin.db", files_).release();
        service_ = new Service(*store_, Service::Options{files_, false});
        port_ = service_->bind("127.0.0.1", 0);
        ASSERT_GT(port_, 0);
        thread_ = new std::thread([] { service_->serve(); });
    }

    static void TearDownTestSuite() {
        service_->stop();
        thread_->join();
        delete thread_;
        delete service_;
        delete store_;
        delete dir_;
    }

    void SetUp() override {
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        // Targets are sent exactly as written, as the update manager sends its query unescaped.
        client_->set_url_encode(false);
        client_->set_read_timeout(30, 0);
    }

    httplib::Result post(const std::string& target, const std::string& body,
                         const char* type = kForm) {
        return client_->Post(target.c_str(), body, type);
    }

    // Posts a form and expects a 200 JSON answer.
    rapidjson::Document post_json(const std::string& target, const std::string& body) {
        const auto res = post(target, body);
        if (!res) {
            ADD_FAILURE() << target << ": no answer";
            return parse_json("{}");
        }
        EXPECT_EQ(res->status, 200) << target << " " << res->body;
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json; charset=utf-8");
        return parse_json(res->body);
    }

    rapidjson::Document login(const std::string& id, const std::string& password) {
        return post_json("/mobile/back_c/getLogin.json",
                         form({{"mem_ID", id}, {"mem_pw", password}}));
    }

    rapidjson::Document join(const std::string& id, const std::string& password,
                             const std::string& model_idx, const std::string& maker = "378") {
        return post_json("/mobile/varbek/join.json", form({{"mem_ID", id},
                                                           {"mem_pw", password},
                                                           {"bu_date", "1990-03-30"},
                                                           {"mInfo_CODE", maker},
                                                           {"bInfo_IDX", model_idx},
                                                           {"cp_no", ""}}));
    }

    rapidjson::Document sdcard_down(const std::string& query) {
        return post_json("/mobile/back_c/sdcard_down.json?" + query, "");
    }

    static TempDir* dir_;
    static fs::path files_;
    static Store* store_;
    static Service* service_;
    static std::thread* thread_;
    static int port_;
    std::unique_ptr<httplib::Client> client_;
};

TempDir* StandinService::dir_ = nullptr;
fs::path StandinService::files_;
Store* StandinService::store_ = nullptr;
Service* StandinService::service_ = nullptr;
std::thread* StandinService::thread_ = nullptr;
int StandinService::port_ = 0;

// ---- login ----

TEST_F(StandinService, LoginAnswersEveryAccountKey) {
    const auto answer = login("demo0001", "drivoro1234");
    EXPECT_EQ(text_of(answer, "flag"), "true");
    EXPECT_FALSE(text_of(answer, "msg").empty());
    EXPECT_EQ(text_of(answer, "mInfo_NAME"), "MORVEL");
    EXPECT_EQ(text_of(answer, "mInfo_CODE"), "378");
    EXPECT_EQ(text_of(answer, "bInfo_modelName"), "TESTCAM1");
    EXPECT_EQ(text_of(answer, "bInfo_IDX"), "101");
    EXPECT_TRUE(std::regex_match(text_of(answer, "payment_Sdate"), kDateTime));
    EXPECT_TRUE(std::regex_match(text_of(answer, "payment_Edate"), kDateTime));
    EXPECT_LT(text_of(answer, "payment_Sdate"), text_of(answer, "payment_Edate"));
    EXPECT_EQ(text_of(answer, "sfd_filename"), "TESTCAM1_2.5.idb");
    EXPECT_EQ(text_of(answer, "sfd_filepath"), "/upload/sfd/101/2.5/");
    EXPECT_EQ(text_of(answer, "sfd_version"), "2.5");
    EXPECT_EQ(text_of(answer, "sfd_size"), "3145728");
    EXPECT_EQ(text_of(answer, "sfd_sha256"),
              "813b1dc222c7114b029dc08e3f5a6b259568bc6ac4e65f30c4ce1d134095c7ca");
    EXPECT_EQ(text_of(answer, "bInfo_scdown_directory"), "root");
}

TEST_F(StandinService, LoginAcceptsOnlyTheRightPassword) {
    const struct {
        const char* why;
        std::string id;
        std::string password;
        bool accepted;
    } cases[] = {
        {"demo login", "demo0001", "drivoro1234", true},
        {"ID letter case does not matter", "DEMO0001", "drivoro1234", true},
        {"wrong password", "demo0001", "drivoro12345", false},
        {"password letter case matters", "demo0001", "DRIVORO1234", false},
        {"unknown ID", "nobody99", "drivoro1234", false},
        {"empty ID and password", "", "", false},
        {"Hangul ID", "데모계정", "drivoro1234", false},
    };
    for (const auto& c : cases) {
        const auto answer = login(c.id, c.password);
        EXPECT_EQ(text_of(answer, "flag"), c.accepted ? "true" : "false") << c.why;
        EXPECT_FALSE(text_of(answer, "msg").empty()) << c.why;
        if (!c.accepted) {
            EXPECT_EQ(text_of(answer, "msg"), "아이디 또는 패스워드가 일치하지 않습니다.") << c.why;
            EXPECT_EQ(answer.MemberCount(), 2u) << c.why;
        }
    }
}

TEST_F(StandinService, PasswordsAreStoredOnlyAsSaltedHashes) {
    const std::string password = "Plain-Text-Check-77";
    ASSERT_EQ(text_of(join("hashcheck01", password, "101"), "flag"), "true");

    // Nowhere in the database's files, including the write-ahead log.
    for (const char* suffix : {"", "-wal"}) {
        const std::string bytes = read_file(dir_->path() / ("standin.db" + std::string(suffix)));
        EXPECT_EQ(bytes.find(password), std::string::npos) << suffix;
        EXPECT_EQ(bytes.find(seed::kDemoPassword), std::string::npos) << suffix;
    }
    const auto demo = store_->find_account("demo0001");
    const auto joined = store_->find_account("hashcheck01");
    ASSERT_TRUE(demo && joined);
    for (const auto* account : {&*demo, &*joined}) {
        EXPECT_EQ(account->pw_hash.rfind("pbkdf2-sha256$600000$", 0), 0u) << account->pw_hash;
    }
    EXPECT_TRUE(verify_password(password, joined->pw_hash));
}

// ---- sign-up ----

TEST_F(StandinService, DuplicateCheckTellsFreeFromTaken) {
    const struct {
        std::string id;
        const char* flag;
    } cases[] = {
        {"demo0001", "false"},
        {"Demo0001", "false"},
        {"fresh0001", "true"},
        {"someone@example.com", "true"},
        {"", "false"},
        {" padded", "false"},
        {std::string(65, 'a'), "false"},
        {"tab\tinside", "false"},
    };
    for (const auto& c : cases) {
        const auto answer = post_json("/mobile/back_c/check_dupid.json", form({{"mem_ID", c.id}}));
        EXPECT_EQ(text_of(answer, "flag"), c.flag) << c.id;
        EXPECT_FALSE(text_of(answer, "msg").empty()) << c.id;
    }
}

TEST_F(StandinService, JoinedMemberLogsInWithTheChosenModel) {
    ASSERT_EQ(text_of(post_json("/mobile/back_c/check_dupid.json", form({{"mem_ID", "newbie01"}})),
                      "flag"),
              "true");
    const auto joined = join("newbie01", "pass word 1", "102");
    EXPECT_EQ(text_of(joined, "flag"), "true");
    EXPECT_FALSE(text_of(joined, "msg").empty());

    const auto answer = login("newbie01", "pass word 1");
    EXPECT_EQ(text_of(answer, "flag"), "true");
    EXPECT_EQ(text_of(answer, "bInfo_modelName"), "DRIVORO3");
    EXPECT_EQ(text_of(answer, "bInfo_IDX"), "102");
    EXPECT_EQ(text_of(answer, "sfd_version"), "2.5");
    EXPECT_TRUE(std::regex_match(text_of(answer, "payment_Edate"), kDateTime));
    EXPECT_EQ(text_of(post_json("/mobile/back_c/check_dupid.json", form({{"mem_ID", "newbie01"}})),
                      "flag"),
              "false");
}

TEST_F(StandinService, JoinRefusesWhatItCannotRegister) {
    const struct {
        const char* why;
        std::string id;
        std::string password;
        std::string maker;
        std::string model;
    } cases[] = {
        {"taken ID", "demo0001", "whatever1", "378", "101"},
        {"taken ID in other case", "DEMO0001", "whatever1", "378", "101"},
        {"unknown model", "refused01", "whatever1", "378", "999"},
        {"model of no such maker", "refused02", "whatever1", "377", "101"},
        {"model index not a number", "refused03", "whatever1", "378", "abc"},
        {"empty ID", "", "whatever1", "378", "101"},
        {"empty password", "refused04", "", "378", "101"},
        {"ID with a trailing blank", "refused05 ", "whatever1", "378", "101"},
    };
    for (const auto& c : cases) {
        const auto answer = join(c.id, c.password, c.model, c.maker);
        EXPECT_EQ(text_of(answer, "flag"), "false") << c.why;
        EXPECT_FALSE(text_of(answer, "msg").empty()) << c.why;
    }
    for (const char* id : {"refused01", "refused02", "refused03", "refused04"}) {
        EXPECT_FALSE(store_->member_exists(id)) << id;
    }
    // The demo account is untouched by the attempts on its ID.
    EXPECT_EQ(text_of(login("demo0001", "drivoro1234"), "flag"), "true");
}

TEST_F(StandinService, ConcurrentJoinsOfOneIdCreateOneAccount) {
    constexpr int kThreads = 6;
    std::atomic<int> accepted = 0;
    std::atomic<int> refused = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            httplib::Client client("127.0.0.1", port_);
            client.set_read_timeout(60, 0);
            const auto res = client.Post("/mobile/varbek/join.json",
                                         form({{"mem_ID", "racer01"},
                                               {"mem_pw", "password" + std::to_string(i)},
                                               {"bu_date", ""},
                                               {"mInfo_CODE", "378"},
                                               {"bInfo_IDX", "101"},
                                               {"cp_no", ""}}),
                                         kForm);
            if (res && res->status == 200) {
                const auto answer = parse_json(res->body);
                (text_of(answer, "flag") == "true" ? accepted : refused)++;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(refused, kThreads - 1);
}

// ---- catalogue ----

TEST_F(StandinService, CatalogueListsTheModelsOfTheMaker) {
    const struct {
        const char* code;
        std::vector<std::pair<std::string, std::string>> models;
    } cases[] = {
        {"378", {{"101", "TESTCAM1"}, {"102", "DRIVORO3"}, {"103", "MV2CH"}}},
        {"999", {}},
        {"abc", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        const auto answer = post_json("/mobile/back_c/device_add_getproduct.search",
                                      form({{"mInfo_CODE", c.code}}));
        ASSERT_TRUE(answer.HasMember("list") && answer["list"].IsArray()) << c.code;
        std::vector<std::pair<std::string, std::string>> got;
        for (const auto& item : answer["list"].GetArray()) {
            got.emplace_back(text_of(item, "bInfo_IDX"), text_of(item, "bInfo_modelName"));
        }
        EXPECT_EQ(got, c.models) << c.code;
    }
}

// ---- download ----

TEST_F(StandinService, DownloadAnswersTheCurrentFileAndRecordsTheQuery) {
    const std::size_t recorded_before = store_->downloads().size();
    const auto answer = sdcard_down(
        "mem_ID=demo0001&bInfo_modelName=TESTCAM1&bInfo_serialno=0000000000&Con_IP=203.0.113.7");
    EXPECT_EQ(text_of(answer, "flag"), "true");
    EXPECT_FALSE(text_of(answer, "msg").empty());
    EXPECT_EQ(text_of(answer, "sfd_version"), "2.5");
    EXPECT_EQ(text_of(answer, "bInfo_scdown_directory"), "root");
    const std::string path = text_of(answer, "sfd_filepath");
    ASSERT_TRUE(path.size() >= 2 && path.front() == '/' && path.back() == '/') << path;

    const auto file = client_->Get((path + text_of(answer, "sfd_filename")).c_str());
    ASSERT_TRUE(file);
    EXPECT_EQ(file->status, 200);
    EXPECT_EQ(file->get_header_value("Content-Type"), "application/octet-stream");
    EXPECT_EQ(file->get_header_value("Content-Length"), "3145728");
    EXPECT_TRUE(file->body == camera_db_bytes("TESTCAM1", "2.5", seed::kCameraDbSize))
        << "the downloaded bytes differ from the seeded file";
    // The size and the digest the program checks the received bytes against.
    EXPECT_EQ(text_of(answer, "sfd_size"), std::to_string(file->body.size()));
    EXPECT_EQ(text_of(answer, "sfd_sha256"), digest_of(file->body).sha256);

    const auto records = store_->downloads();
    ASSERT_EQ(records.size(), recorded_before + 1);
    const auto& r = records.back();
    EXPECT_EQ(r.mem_id, "demo0001");
    EXPECT_EQ(r.model_name, "TESTCAM1");
    EXPECT_EQ(r.serialno, "0000000000");
    EXPECT_EQ(r.con_ip, "203.0.113.7");
    EXPECT_EQ(r.peer_addr, "127.0.0.1");
    EXPECT_EQ(r.flag, "true");
    EXPECT_EQ(r.version, "2.5");
    EXPECT_TRUE(std::regex_match(r.requested_at, kDateTime));
}

TEST_F(StandinService, DownloadRecordsTheQueryValuesDecoded) {
    const struct {
        const char* why;
        std::string query;
        const char* model;
        const char* serial;
        const char* con_ip;
    } cases[] = {
        {"empty address",
         "mem_ID=demo0001&bInfo_modelName=TESTCAM1&bInfo_serialno=&Con_IP=", "TESTCAM1", "", ""},
        {"escaped blank and plus",
         "mem_ID=demo0001&bInfo_modelName=TEST%20CAM+1&bInfo_serialno=A%2BB&Con_IP=1.2.3.4",
         "TEST CAM 1", "A+B", "1.2.3.4"},
        // The program does not escape its query: Hangul arrives as raw UTF-8 bytes.
        {"raw UTF-8",
         "mem_ID=demo0001&bInfo_modelName=\xED\x85\x8C\xEC\x8A\xA4\xED\x8A\xB8&bInfo_serialno=0&"
         "Con_IP=::1",
         "테스트", "0", "::1"},
    };
    for (const auto& c : cases) {
        const auto answer = sdcard_down(c.query);
        EXPECT_EQ(text_of(answer, "flag"), "true") << c.why;
        const auto r = store_->downloads().back();
        EXPECT_EQ(r.model_name, c.model) << c.why;
        EXPECT_EQ(r.serialno, c.serial) << c.why;
        EXPECT_EQ(r.con_ip, c.con_ip) << c.why;
    }
}

TEST_F(StandinService, DownloadRefusesUnknownAndExpiredMembers) {
    const auto model = store_->find_model("TESTCAM1");
    ASSERT_TRUE(model);
    ASSERT_EQ(
        store_->add_member(NewMember{"expired01", hash_password("x", 1000), "", 378, model->idx, "",
                                     "2020-01-01 00:00:00", "2021-01-01 00:00:00"}),
        AddMemberResult::Added);
    for (const char* id : {"nobody99", "expired01"}) {
        const auto answer = sdcard_down(std::string("mem_ID=") + id +
                                        "&bInfo_modelName=TESTCAM1&bInfo_serialno=1&Con_IP=");
        EXPECT_EQ(text_of(answer, "flag"), "false") << id;
        EXPECT_FALSE(text_of(answer, "msg").empty()) << id;
        EXPECT_FALSE(answer.HasMember("sfd_filename")) << id;
        const auto r = store_->downloads().back();
        EXPECT_EQ(r.mem_id, id);
        EXPECT_EQ(r.flag, "false");
    }
}

TEST_F(StandinService, PublishedVersionIsAnsweredAtTheNextRequest) {
    ASSERT_EQ(text_of(join("publisher01", "password1", "103"), "flag"), "true");
    const std::string query =
        "mem_ID=publisher01&bInfo_modelName=MV2CH&bInfo_serialno=0000000000&Con_IP=";
    const auto before = sdcard_down(query);
    EXPECT_EQ(text_of(before, "sfd_version"), "2.5");
    EXPECT_EQ(text_of(before, "bInfo_scdown_directory"), "BBDATA");

    const fs::path source = dir_->path() / "mv2ch-2.6.idb";
    const std::string bytes = camera_db_bytes("MV2CH", "2.6", 100000);
    std::ofstream(source, std::ios::binary) << bytes;
    publish(*store_, files_, "MV2CH", "2.6", source);

    const auto after = sdcard_down(query);
    EXPECT_EQ(text_of(after, "sfd_version"), "2.6");
    const auto file =
        client_->Get((text_of(after, "sfd_filepath") + text_of(after, "sfd_filename")).c_str());
    ASSERT_TRUE(file);
    EXPECT_EQ(file->status, 200);
    EXPECT_TRUE(file->body == bytes);
    EXPECT_EQ(text_of(login("publisher01", "password1"), "sfd_version"), "2.6");
    // An address handed out before the publication still works.
    const auto old_file =
        client_->Get((text_of(before, "sfd_filepath") + text_of(before, "sfd_filename")).c_str());
    ASSERT_TRUE(old_file);
    EXPECT_EQ(old_file->status, 200);
}

TEST_F(StandinService, DownloadAnswerTellsTheDigestTakenAtPublication) {
    // A maker and model of their own: the other tests see the seeded catalogue and databases.
    store_->add_maker(379, "DIGEST");
    const Model model = store_->add_model(379, "DIGESTCAM", "root");
    const fs::path source = dir_->path() / "digestcam-2.7.idb";
    const std::string bytes = camera_db_bytes("DIGESTCAM", "2.7", 50000);
    std::ofstream(source, std::ios::binary) << bytes;
    const DbFile published = publish(*store_, files_, "DIGESTCAM", "2.7", source);
    ASSERT_EQ(text_of(join("digest01", "password1", std::to_string(model.idx), "379"), "flag"),
              "true");
    const std::string query = "mem_ID=digest01&bInfo_modelName=DIGESTCAM&bInfo_serialno=1&Con_IP=";

    const auto answer = sdcard_down(query);
    EXPECT_EQ(text_of(answer, "sfd_size"), "50000");
    EXPECT_EQ(text_of(answer, "sfd_sha256"), digest_of(bytes).sha256);
    // Recorded once: a served file changed behind the service's back is not hashed again.
    write_file_atomically(served_file(files_, published.filepath + published.filename),
                          std::string(50000, 'x'));
    EXPECT_EQ(text_of(sdcard_down(query), "sfd_sha256"), digest_of(bytes).sha256);
}

// ---- payments, banner, IP echo, pages ----

TEST_F(StandinService, PaymentListHoldsTheMembersPayments) {
    const auto answer = post_json("/mobile/back_c/paylist.json", form({{"mem_ID", "demo0001"}}));
    ASSERT_TRUE(answer.HasMember("list") && answer["list"].IsArray());
    const auto& list = answer["list"];
    ASSERT_EQ(list.Size(), seed::kDemoPayments.size());
    for (rapidjson::SizeType i = 0; i < list.Size(); ++i) {
        EXPECT_EQ(text_of(list[i], "regdate"), seed::kDemoPayments[i].regdate);
        EXPECT_EQ(text_of(list[i], "paymethod"), seed::kDemoPayments[i].paymethod);
        EXPECT_EQ(text_of(list[i], "amount"), seed::kDemoPayments[i].amount);
        EXPECT_TRUE(std::regex_match(text_of(list[i], "regdate"), kDateTime));
    }
    const auto none = post_json("/mobile/back_c/paylist.json", form({{"mem_ID", "nobody99"}}));
    ASSERT_TRUE(none.HasMember("list") && none["list"].IsArray());
    EXPECT_EQ(none["list"].Size(), 0u);
}

TEST_F(StandinService, BannerListPointsAtAServedJpeg) {
    const auto answer = post_json("/mgr/api/call_banner.api", form({{"bidx", "4"}}));
    ASSERT_TRUE(answer.HasMember("data") && answer["data"].IsArray());
    ASSERT_EQ(answer["data"].Size(), 1u);
    const std::string img = text_of(answer["data"][0], "img_path");
    EXPECT_EQ(img.rfind("/upload/banner/", 0), 0u) << img;
    EXPECT_FALSE(text_of(answer["data"][0], "link_path").empty());

    const auto picture = client_->Get(img.c_str());
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->status, 200);
    EXPECT_EQ(picture->get_header_value("Content-Type"), "image/jpeg");
    EXPECT_EQ(standin_test::jpeg_size(picture->body), std::make_pair(566, 111));

    const auto other = post_json("/mgr/api/call_banner.api", form({{"bidx", "5"}}));
    ASSERT_TRUE(other.HasMember("data") && other["data"].IsArray());
    EXPECT_EQ(other["data"].Size(), 0u);
}

TEST_F(StandinService, IpEchoAnswersTheCallersAddress) {
    const auto res = client_->Get("/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(text_of(parse_json(res->body), "ip"), "127.0.0.1");
}

TEST_F(StandinService, WebPagesAreKoreanHtml) {
    const struct {
        const char* target;
        const char* title;
    } cases[] = {
        {"/", "Drivoro 안전운전 서비스"},
        {"/pages/policy_use_back", "이용약관"},
        {"/pages/policy_private_back", "개인정보처리방침"},
        {"/mobile/pages/lumvik_manual", "사용자 메뉴얼"},
        {"/board/faq/list.html?board_no=3", "고객지원 FAQ"},
        {"/mobile/back_c/ex_payment_loader_back?mem_ID=demo0001", "서비스 연장 결제"},
    };
    for (const auto& c : cases) {
        const auto res = client_->Get(c.target);
        ASSERT_TRUE(res) << c.target;
        EXPECT_EQ(res->status, 200) << c.target;
        EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8") << c.target;
        EXPECT_NE(res->body.find(std::string("<title>") + c.title + "</title>"), std::string::npos)
            << c.target;
    }
}

TEST_F(StandinService, PaymentPageShowsTheIdEscaped) {
    const auto demo = client_->Get("/mobile/back_c/ex_payment_loader_back?mem_ID=demo0001");
    ASSERT_TRUE(demo);
    EXPECT_NE(demo->body.find("demo0001"), std::string::npos);
    EXPECT_NE(demo->body.find("TESTCAM1"), std::string::npos);

    const auto hostile =
        client_->Get("/mobile/back_c/ex_payment_loader_back?mem_ID=%3Cscript%3Ex%3C%2Fscript%3E");
    ASSERT_TRUE(hostile);
    EXPECT_EQ(hostile->status, 200);
    EXPECT_EQ(hostile->body.find("<script>"), std::string::npos);
    EXPECT_NE(hostile->body.find("&lt;script&gt;x&lt;/script&gt;"), std::string::npos);
}

// ---- bad requests ----

std::string raw_exchange(int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        // The status line is all that is wanted; the server may keep the connection open.
        char buffer[4096];
        ssize_t n;
        while (answer.find("\r\n") == std::string::npos &&
               (n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return answer;
}

TEST_F(StandinService, BadRequestsGetClearRefusals) {
    const std::string big(100 * 1024, 'a');
    const struct {
        const char* why;
        const char* method;
        std::string target;
        std::string body;
        const char* type;
        int status;
    } cases[] = {
        {"GET on a form address", "GET", "/mobile/back_c/getLogin.json", "", kForm, 405},
        {"PUT on a form address", "PUT", "/mobile/back_c/paylist.json", "mem_ID=x", kForm, 405},
        {"POST on the IP echo", "POST", "/json", "", kForm, 405},
        {"DELETE on a page", "DELETE", "/pages/policy_use_back", "", kForm, 405},
        {"missing password", "POST", "/mobile/back_c/getLogin.json", "mem_ID=demo0001", kForm, 400},
        {"missing join field", "POST", "/mobile/varbek/join.json",
         "mem_ID=a&mem_pw=b&bu_date=&mInfo_CODE=378&bInfo_IDX=101", kForm, 400},
        {"missing catalogue code", "POST", "/mobile/back_c/device_add_getproduct.search", "", kForm,
         400},
        {"missing banner index", "POST", "/mgr/api/call_banner.api", "bidx4", kForm, 400},
        {"broken escape", "POST", "/mobile/back_c/getLogin.json", "mem_ID=%zz&mem_pw=x", kForm,
         400},
        {"not UTF-8", "POST", "/mobile/back_c/check_dupid.json", "mem_ID=%B0%A1", kForm, 400},
        {"NUL byte", "POST", "/mobile/back_c/check_dupid.json", "mem_ID=a%00b", kForm, 400},
        {"JSON body", "POST", "/mobile/back_c/check_dupid.json", R"({"mem_ID":"x"})",
         "application/json", 415},
        {"oversized body", "POST", "/mobile/back_c/getLogin.json", "mem_ID=" + big, kForm, 413},
        {"oversized other body", "POST", "/mobile/back_c/getLogin.json", big, "text/plain", 413},
        {"download without address field", "POST",
         "/mobile/back_c/sdcard_down.json?mem_ID=demo0001&bInfo_modelName=A&bInfo_serialno=1", "",
         kForm, 400},
        {"download with broken escape", "POST",
         "/mobile/back_c/sdcard_down.json?mem_ID=%E&bInfo_modelName=A&bInfo_serialno=1&Con_IP=", "",
         kForm, 400},
        {"payment page without ID", "GET", "/mobile/back_c/ex_payment_loader_back", "", kForm, 400},
        {"unknown page", "GET", "/mobile/back_c/nothing.json", "", kForm, 404},
        {"unknown form address", "POST", "/mobile/back_c/nothing.json", "a=b", kForm, 404},
        {"missing file", "GET", "/upload/sfd/101/2.5/missing.idb", "", kForm, 404},
        {"upload into the file area", "PUT", "/upload/banner/x.jpg", "data", "image/jpeg", 405},
    };
    for (const auto& c : cases) {
        httplib::Request req;
        req.method = c.method;
        req.path = c.target;
        req.body = c.body;
        if (!c.body.empty() || std::string(c.method) == "POST") {
            req.set_header("Content-Type", c.type);
        }
        const auto res = client_->send(req);
        ASSERT_TRUE(res) << c.why;
        EXPECT_EQ(res->status, c.status) << c.why << ": " << res->body;
        EXPECT_FALSE(res->body.empty()) << c.why;
        if (c.status == 405) {
            EXPECT_FALSE(res->get_header_value("Allow").empty()) << c.why;
        }
    }
}

TEST_F(StandinService, FilesOutsideTheServedFolderStayHidden) {
    for (const char* target : {"/upload/../standin.db", "/upload/%2E%2E/standin.db",
                               "/upload/../files/upload/banner/drivoro_banner.jpg"}) {
        const auto res = client_->Get(target);
        ASSERT_TRUE(res) << target;
        EXPECT_GE(res->status, 400) << target;
        EXPECT_LT(res->status, 500) << target;
        EXPECT_EQ(res->body.find("SQLite format"), std::string::npos) << target;
    }
    // Nor anything inside it that is not a plain file of its own: a link out, a FIFO (which
    // must not be waited on), a publication's temporary file, a folder.
    const fs::path upload = files_ / "upload";
    fs::create_symlink(dir_->path() / "standin.db", upload / "link.idb");
    fs::create_directory_symlink(dir_->path(), upload / "linked");
    ASSERT_EQ(mkfifo((upload / "pipe.idb").c_str(), 0644), 0);
    std::ofstream(upload / ".rp_cam.idb.tmp-0123abcd") << "half a file";
    for (const char* target : {"/upload/link.idb", "/upload/linked/standin.db", "/upload/pipe.idb",
                               "/upload/.rp_cam.idb.tmp-0123abcd", "/upload/sfd", "/upload/sfd/",
                               "/upload//sfd/101/2.5/TESTCAM1_2.5.idb"}) {
        const auto res = client_->Get(target);
        ASSERT_TRUE(res) << target;
        EXPECT_EQ(res->status, 404) << target;
        EXPECT_EQ(res->body.find("SQLite format"), std::string::npos) << target;
    }
}

TEST_F(StandinService, GarbageOnTheWireIsRefusedAndTheServiceGoesOn) {
    for (const std::string& request :
         {std::string("GARBAGE\r\n\r\n"), std::string("GET\r\n\r\n"),
          std::string("POST /mobile/back_c/getLogin.json HTTP/1.1\r\nHost: x\r\n"
                      "Content-Type: application/x-www-form-urlencoded\r\n"
                      "Content-Length: abc\r\n\r\nmem_ID=a"),
          std::string("BREW /json HTTP/1.1\r\nHost: x\r\n\r\n")}) {
        const std::string answer = raw_exchange(port_, request);
        EXPECT_TRUE(answer.empty() || answer.rfind("HTTP/1.1 4", 0) == 0) << answer;
    }
    const auto res = client_->Get("/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

TEST_F(StandinService, PostWithoutAnyBodyFramingHasAnEmptyBody) {
    const std::size_t recorded_before = store_->downloads().size();
    const std::string answer = raw_exchange(
        port_,
        "POST /mobile/back_c/sdcard_down.json?mem_ID=demo0001&bInfo_modelName=TESTCAM1"
        "&bInfo_serialno=0000000000&Con_IP= HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 ", 0), 0u) << answer;
    EXPECT_EQ(store_->downloads().size(), recorded_before + 1);
}

TEST_F(StandinService, ParallelRequestsAreAllAnswered) {
    constexpr int kThreads = 6;
    constexpr int kRounds = 15;
    const std::size_t recorded_before = store_->downloads().size();
    std::atomic<int> good = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            httplib::Client client("127.0.0.1", port_);
            client.set_url_encode(false);
            client.set_read_timeout(30, 0);
            for (int i = 0; i < kRounds; ++i) {
                const std::string serial = std::to_string(t * 1000 + i);
                const auto down = client.Post(
                    ("/mobile/back_c/sdcard_down.json?mem_ID=demo0001&bInfo_modelName=TESTCAM1"
                     "&bInfo_serialno=" +
                     serial + "&Con_IP=")
                        .c_str(),
                    "", kForm);
                const auto pay =
                    client.Post("/mobile/back_c/paylist.json", "mem_ID=demo0001", kForm);
                const auto dup =
                    client.Post("/mobile/back_c/check_dupid.json", "mem_ID=par" + serial, kForm);
                if (down && down->status == 200 && pay && pay->status == 200 && dup &&
                    dup->status == 200 &&
                    down->body.find("\"flag\":\"true\"") != std::string::npos) {
                    ++good;
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good, kThreads * kRounds);
    EXPECT_EQ(store_->downloads().size(), recorded_before + kThreads * kRounds);
}

}  // namespace
