// Addresses built from names the service sends: each name reaches exactly its file on the
// service host.
#include <QTemporaryDir>

#include "platform/downloads.h"
#include "service/addresses.h"
#include "support/files.h"
#include "support/test_server.h"

namespace {

TEST(Addresses, PathPartIsEncodedSoEveryNameReachesItsFile) {
    TestServer server;
    std::vector<std::string> asked;
    server.http().Get(R"(/files/.*)",
                      [&asked](const httplib::Request& req, httplib::Response& res) {
                          asked.push_back(req.path);  // as the server decodes it
                          res.set_content("db", "application/octet-stream");
                      });
    server.start();
    const ConfigOverride config(server.host());
    QTemporaryDir dir;
    struct Case {
        const char* path;
        const char* fileName;
        const char* encoded;  // what follows the host
    };
    for (const Case& c : {
             Case{"/files/v2/", "rp_v2.idb", "/files/v2/rp_v2.idb"},
             Case{"/files/v 2/", "rp v2.idb", "/files/v%202/rp%20v2.idb"},
             Case{"/files/", "a#b.idb", "/files/a%23b.idb"},
             Case{"/files/", "a?b=c.idb", "/files/a%3Fb=c.idb"},
             Case{"/files/", "100%.idb", "/files/100%25.idb"},
             Case{"/files/%41/", "x.idb", "/files/%2541/x.idb"},
             Case{"/files/", "카메라.idb", "/files/%EC%B9%B4%EB%A9%94%EB%9D%BC.idb"},
             Case{"/files/a\\b/", "x.idb", "/files/a%5Cb/x.idb"},
             Case{"/files/@x:1/", "(1);$,+'!*.idb", "/files/@x:1/(1);$,+'!*.idb"},
         }) {
        const std::optional<QString> url =
            addresses::databaseFile(QString::fromUtf8(c.path), QString::fromUtf8(c.fileName));
        ASSERT_TRUE(url) << c.fileName;
        EXPECT_EQ(*url, "http://" + server.host() + QString::fromUtf8(c.encoded)) << c.fileName;
        asked.clear();
        const platform::DownloadResult result =
            platform::downloadUrlToFile(*url, dir.filePath("db"), {});
        EXPECT_TRUE(result.ok) << c.fileName << " " << result.error.toStdString();
        ASSERT_EQ(asked.size(), 1u) << c.fileName;
        EXPECT_EQ(asked.front(), std::string(c.path) + c.fileName);
    }
    // The rule that the path begins with "/" stays: nothing else can move off the host.
    for (const char* path : {"", "files/", "@evil.example/", ".evil.example/"})
        EXPECT_FALSE(addresses::databaseFile(QString::fromUtf8(path), "x.idb")) << path;
}

}  // namespace
