// Addresses built from names the service sends: each name reaches exactly its file on the
// service host.
#include <QTemporaryDir>

#include "platform/downloads.h"
#include "service/addresses.h"
#include "support/files.h"
#include "support/test_server.h"

namespace {

// Host, path and name are joined as the service wrote them: a query or an escape in its path
// reaches the file host as written; only what a URL may not hold is encoded.
TEST(Addresses, DatabaseAddressIsThePathAsTheServiceWroteIt) {
    TestServer server;
    std::vector<std::string> asked;
    server.http().Get(R"(/.*)", [&asked](const httplib::Request& req, httplib::Response& res) {
        asked.push_back(req.target);  // the request target as it arrived, undecoded
        res.set_content("db", "application/octet-stream");
    });
    server.start();
    const ConfigOverride config(server.host());
    QTemporaryDir dir;
    struct Case {
        const char* path;
        const char* fileName;
        const char* target;  // what follows the host, as the file host receives it
    };
    for (const Case& c : {
             Case{"/files/v2/", "rp_v2.idb", "/files/v2/rp_v2.idb"},
             Case{"/get.php?f=", "rp_v2.idb", "/get.php?f=rp_v2.idb"},
             Case{"/get.php?dir=db&f=", "a=b.idb", "/get.php?dir=db&f=a=b.idb"},
             Case{"/db%20files/", "rp.idb", "/db%20files/rp.idb"},
             Case{"/files/%41/", "x%2f.idb", "/files/%41/x%2f.idb"},
             Case{"/files/", "100%.idb", "/files/100%25.idb"},
             Case{"/files/", "a%4.idb", "/files/a%254.idb"},
             Case{"/files/v 2/", "rp v2.idb", "/files/v%202/rp%20v2.idb"},
             Case{"/files/", "카메라.idb", "/files/%EC%B9%B4%EB%A9%94%EB%9D%BC.idb"},
             Case{"/files/", "a#b.idb", "/files/a%23b.idb"},
             Case{"/files/a\\b/", "x.idb", "/files/a/b/x.idb"},
             Case{"\\db\\files\\", "rp.idb", "/db/files/rp.idb"},
             Case{"\\db\\", "sub\\rp.idb", "/db/sub/rp.idb"},
             Case{"\\get.php?dir=a\\b&f=", "rp.idb", "/get.php?dir=a%5Cb&f=rp.idb"},
             Case{"\\\\x\\", "rp.idb", "//x/rp.idb"},
             Case{"/files/", "\"<>^`{|}[].idb", "/files/%22%3C%3E%5E%60%7B%7C%7D%5B%5D.idb"},
             Case{"/files/", "a\tb\x7f.idb", "/files/a%09b%7F.idb"},
             Case{"/files/@x:1/", "(1);$,+'!*~.idb", "/files/@x:1/(1);$,+'!*~.idb"},
             Case{"//x/", "rp.idb", "//x/rp.idb"},
         }) {
        const std::optional<QString> url =
            addresses::databaseFile(QString::fromUtf8(c.path), QString::fromUtf8(c.fileName));
        ASSERT_TRUE(url) << c.path << c.fileName;
        EXPECT_EQ(*url, "http://" + server.host() + QString::fromUtf8(c.target)) << c.fileName;
        asked.clear();
        const platform::DownloadResult result =
            platform::downloadUrlToFile(*url, dir.filePath("db"), {});
        EXPECT_TRUE(result.ok) << c.fileName << " " << result.error.toStdString();
        ASSERT_EQ(asked.size(), 1u) << c.fileName;
        EXPECT_EQ(asked.front(), c.target) << c.path << c.fileName;
    }
    // The path must begin with "/": nothing else can run into the host and move off it.
    for (const char* path : {"", "files/", "@evil.example/", ".evil.example/", "?x=/"})
        EXPECT_FALSE(addresses::databaseFile(QString::fromUtf8(path), "x.idb")) << path;
}

// The banner picture's path follows the same rule, over https.
TEST(Addresses, BannerPictureFollowsTheSameRule) {
    const ConfigOverride config(QStringLiteral("svc.example"));
    EXPECT_EQ(addresses::bannerPicture("/img/get.php?id=4&s=%20x #1.jpg"),
              QStringLiteral("https://svc.example/img/get.php?id=4&s=%20x%20%231.jpg"));
    EXPECT_EQ(addresses::bannerPicture("//cdn/b.jpg"),
              QStringLiteral("https://svc.example//cdn/b.jpg"));
    EXPECT_FALSE(addresses::bannerPicture("@evil.example/b.jpg"));
    EXPECT_EQ(addresses::bannerPicture("\\img\\b.jpg"),
              QStringLiteral("https://svc.example/img/b.jpg"));
    EXPECT_FALSE(addresses::bannerPicture("img\\b.jpg"));
}

}  // namespace
