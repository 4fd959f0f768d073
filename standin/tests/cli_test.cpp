// The program as the demo and the end-to-end tests use it: a separate process.

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "seed.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using standin_test::form;
using standin_test::parse_json;
using standin_test::run_program;
using standin_test::ServerProcess;
using standin_test::TempDir;
using standin_test::text_of;

constexpr const char* kForm = "application/x-www-form-urlencoded";

TEST(StandinProgram, ServesPublishesAndStopsCleanly) {
    TempDir dir;
    const std::string db = (dir.path() / "service.db").string();
    ServerProcess server({"--db", db, "--port", "0"}, dir.path() / "serve.err");
    ASSERT_GT(server.port(), 0) << "first line: " << server.first_line();
    EXPECT_EQ(server.first_line(), "listening on 127.0.0.1:" + std::to_string(server.port()));
    // Seeded beside the database under the default files folder.
    EXPECT_TRUE(fs::exists(dir.path() / "service-files" / "upload" / "banner"));

    httplib::Client client("127.0.0.1", server.port());
    client.set_read_timeout(30, 0);
    const auto echo = client.Get("/json");
    ASSERT_TRUE(echo);
    EXPECT_EQ(text_of(parse_json(echo->body), "ip"), "127.0.0.1");

    // Another process publishes while the server runs.
    const fs::path source = dir.path() / "rp_cam_3.0.idb";
    std::ofstream(source, std::ios::binary) << std::string(70000, '\x5A') << "end";
    const auto published = run_program({"publish", "--db", db, "--model", "TESTCAM1", "--version",
                                        "3.0", "--file", source.string()});
    ASSERT_EQ(published.exit_code, 0) << published.err;

    const auto down = client.Post(
        "/mobile/back_c/sdcard_down.json?mem_ID=demo0001&bInfo_modelName=TESTCAM1"
        "&bInfo_serialno=0000000000&Con_IP=",
        "", kForm);
    ASSERT_TRUE(down);
    const auto answer = parse_json(down->body);
    EXPECT_EQ(text_of(answer, "sfd_version"), "3.0");
    EXPECT_EQ(text_of(answer, "sfd_filename"), "rp_cam_3.0.idb");
    const auto file =
        client.Get((text_of(answer, "sfd_filepath") + text_of(answer, "sfd_filename")).c_str());
    ASSERT_TRUE(file);
    EXPECT_EQ(file->status, 200);
    EXPECT_TRUE(file->body == standin_test::read_file(source));

    // Members added from the command line can log in at once.
    const auto added = run_program({"add-member", "--db", db, "--id", "cli0001", "--password",
                                    "cli-password", "--model", "MV2CH"});
    ASSERT_EQ(added.exit_code, 0) << added.err;
    const auto login =
        client.Post("/mobile/back_c/getLogin.json",
                    form({{"mem_ID", "cli0001"}, {"mem_pw", "cli-password"}}), kForm);
    ASSERT_TRUE(login);
    const auto account = parse_json(login->body);
    EXPECT_EQ(text_of(account, "flag"), "true");
    EXPECT_EQ(text_of(account, "bInfo_scdown_directory"), "BBDATA");

    const auto listed = run_program({"downloads", "--db", db});
    EXPECT_EQ(listed.exit_code, 0);
    EXPECT_NE(listed.out.find("demo0001\tTESTCAM1\t0000000000\t\t127.0.0.1\ttrue\t3.0"),
              std::string::npos)
        << listed.out;

    // The port is taken now: a second server says so and fails.
    const auto second = run_program({"serve", "--db", db, "--port", std::to_string(server.port())});
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find("cannot listen"), std::string::npos) << second.err;

    EXPECT_EQ(server.stop(), 0);
}

TEST(StandinProgram, ParallelDownloadsOfALargeFileKeepMemoryFlat) {
    constexpr std::size_t kFileSize = 64 * 1024 * 1024;
    constexpr int kDownloads = 4;
    TempDir dir;
    const std::string db = (dir.path() / "big.db").string();
    const fs::path source = dir.path() / "big.idb";
    std::ofstream(source, std::ios::binary) << "camera data";
    fs::resize_file(source, kFileSize);
    const auto published = run_program({"publish", "--db", db, "--model", "TESTCAM1", "--version",
                                        "9.0", "--file", source.string()});
    ASSERT_EQ(published.exit_code, 0) << published.err;

    ServerProcess server({"--db", db, "--port", "0"}, dir.path() / "serve.err");
    ASSERT_GT(server.port(), 0) << server.first_line();
    httplib::Client client("127.0.0.1", server.port());
    const auto down = client.Post(
        "/mobile/back_c/sdcard_down.json?mem_ID=demo0001&bInfo_modelName=TESTCAM1"
        "&bInfo_serialno=1&Con_IP=",
        "", kForm);
    ASSERT_TRUE(down);
    const auto answer = parse_json(down->body);
    ASSERT_EQ(text_of(answer, "sfd_size"), std::to_string(kFileSize));
    const std::string path = text_of(answer, "sfd_filepath") + text_of(answer, "sfd_filename");
    const long before = standin_test::proc_status_kib(server.pid(), "VmHWM");
    ASSERT_GT(before, 0);

    std::vector<std::string> digests(kDownloads);
    std::vector<std::thread> downloads;
    for (int i = 0; i < kDownloads; ++i) {
        downloads.emplace_back([&, i] {
            httplib::Client c("127.0.0.1", server.port());
            c.set_read_timeout(60, 0);
            std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> sha(EVP_MD_CTX_new(),
                                                                   EVP_MD_CTX_free);
            EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr);
            const auto res = c.Get(path.c_str(), [&](const char* data, std::size_t size) {
                return EVP_DigestUpdate(sha.get(), data, size) == 1;
            });
            unsigned char hash[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            EVP_DigestFinal_ex(sha.get(), hash, &length);
            if (res && res->status == 200) {
                static constexpr char hex[] = "0123456789abcdef";
                for (unsigned int k = 0; k < length; ++k)
                    digests[i] += {hex[hash[k] >> 4], hex[hash[k] & 0x0F]};
            }
        });
    }
    for (auto& d : downloads)
        d.join();
    const long after = standin_test::proc_status_kib(server.pid(), "VmHWM");
    for (const auto& digest : digests)
        EXPECT_EQ(digest, text_of(answer, "sfd_sha256"));
    // Read whole into memory, even one of the files would add its 64 MiB.
    EXPECT_LT((after - before) * 1024, static_cast<long>(kFileSize))
        << "peak memory " << before << " KiB before the downloads, " << after << " KiB after";
    EXPECT_EQ(server.stop(), 0);
}

TEST(StandinProgram, WarnsWhenListeningBeyondThisMachine) {
    TempDir dir;
    const std::string db = (dir.path() / "host.db").string();
    for (const char* host : {"127.0.0.1", "0.0.0.0"}) {
        {
            ServerProcess server({"--db", db, "--port", "0", "--host", host},
                                 dir.path() / "serve.err");
            ASSERT_GT(server.port(), 0) << server.first_line();
            EXPECT_EQ(server.stop(), 0);
        }
        const std::string err = standin_test::read_file(dir.path() / "serve.err");
        const bool warned = err.find("warning: ") != std::string::npos &&
                            err.find("plain HTTP") != std::string::npos;
        EXPECT_EQ(warned, std::string(host) != "127.0.0.1") << host << ": " << err;
    }
}

TEST(StandinProgram, RefusesWrongCommandLines) {
    TempDir dir;
    const std::string db = (dir.path() / "cli.db").string();
    const std::string file = (dir.path() / "x.idb").string();
    std::ofstream(file) << "x";
    const struct {
        const char* why;
        std::vector<std::string> args;
        int exit_code;
    } cases[] = {
        {"no command", {}, 2},
        {"unknown command", {"frobnicate", "--db", db}, 2},
        {"no database", {"serve"}, 2},
        {"unknown option", {"serve", "--db", db, "--verbose"}, 2},
        {"option without value", {"serve", "--db"}, 2},
        {"port out of range", {"serve", "--db", db, "--port", "70000"}, 2},
        {"port not a number", {"serve", "--db", db, "--port", "80a"}, 2},
        {"certificate without its key", {"serve", "--db", db, "--tls-cert", file}, 2},
        {"certificate that is none",
         {"serve", "--db", db, "--port", "0", "--tls-cert", file, "--tls-key", file},
         1},
        {"publish without version",
         {"publish", "--db", db, "--model", "TESTCAM1", "--file", file},
         2},
        {"publish for an unknown model",
         {"publish", "--db", db, "--model", "NOPE", "--version", "1", "--file", file},
         1},
        {"member with a taken ID",
         {"add-member", "--db", db, "--id", "demo0001", "--password", "x", "--model", "TESTCAM1"},
         1},
        {"member with a malformed end",
         {"add-member", "--db", db, "--id", "m1", "--password", "x", "--model", "TESTCAM1", "--end",
          "2025-13"},
         2},
        {"model name the program cannot send", {"add-model", "--db", db, "--name", "BAD NAME"}, 2},
        {"payment with an unknown method",
         {"add-payment", "--db", db, "--id", "demo0001", "--method", "CASH", "--amount", "1"},
         2},
    };
    for (const auto& c : cases) {
        const auto result = run_program(c.args);
        EXPECT_EQ(result.exit_code, c.exit_code) << c.why << ": " << result.err;
        EXPECT_FALSE(result.err.empty()) << c.why;
    }
    EXPECT_EQ(run_program({"--help"}).exit_code, 0);
}

TEST(StandinProgram, AdminCommandsChangeWhatIsServed) {
    TempDir dir;
    const std::string db = (dir.path() / "admin.db").string();
    const fs::path source = dir.path() / "first.idb";
    std::ofstream(source, std::ios::binary) << "first";
    for (const std::vector<std::string>& args : {
             std::vector<std::string>{"add-model", "--db", db, "--name", "NEWCAM", "--directory",
                                      "CAMDB"},
             {"publish", "--db", db, "--model", "NEWCAM", "--version", "1.0", "--file",
              source.string()},
             {"add-member", "--db", db, "--id", "owner01", "--password", "owner-pw", "--model",
              "NEWCAM", "--start", "2025-01-01 00:00:00", "--end", "2099-12-31 23:59:59"},
             {"add-payment", "--db", db, "--id", "owner01", "--method", "VCARD", "--amount",
              "16500", "--date", "2025-01-01 10:00:00"},
         }) {
        const auto result = run_program(args);
        ASSERT_EQ(result.exit_code, 0) << args[0] << ": " << result.err;
    }

    ServerProcess server({"--db", db, "--port", "0"}, dir.path() / "serve.err");
    ASSERT_GT(server.port(), 0) << server.first_line();
    httplib::Client client("127.0.0.1", server.port());
    client.set_read_timeout(30, 0);

    const auto catalogue =
        client.Post("/mobile/back_c/device_add_getproduct.search", "mInfo_CODE=378", kForm);
    ASSERT_TRUE(catalogue);
    EXPECT_NE(catalogue->body.find("\"bInfo_modelName\":\"NEWCAM\""), std::string::npos);

    const auto login =
        client.Post("/mobile/back_c/getLogin.json", "mem_ID=owner01&mem_pw=owner-pw", kForm);
    ASSERT_TRUE(login);
    const auto account = parse_json(login->body);
    EXPECT_EQ(text_of(account, "bInfo_modelName"), "NEWCAM");
    EXPECT_EQ(text_of(account, "sfd_version"), "1.0");
    EXPECT_EQ(text_of(account, "bInfo_scdown_directory"), "CAMDB");
    EXPECT_EQ(text_of(account, "payment_Sdate"), "2025-01-01 00:00:00");
    EXPECT_EQ(text_of(account, "payment_Edate"), "2099-12-31 23:59:59");

    const auto payments = client.Post("/mobile/back_c/paylist.json", "mem_ID=owner01", kForm);
    ASSERT_TRUE(payments);
    EXPECT_EQ(
        payments->body,
        R"({"list":[{"regdate":"2025-01-01 10:00:00","paymethod":"VCARD","amount":"16500"}]})");
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
