// The data side: password storage, seeding, publishing.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "files.hpp"
#include "password.hpp"
#include "seed.hpp"
#include "store.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace drivoro::standin;
using standin_test::read_file;
using standin_test::TempDir;

constexpr int kFastIterations = 1000;

TEST(PasswordHash, StoresNeitherThePasswordNorAnUnsaltedHash) {
    const std::string stored = hash_password("drivoro1234", kFastIterations);
    EXPECT_TRUE(
        std::regex_match(stored, std::regex(R"(pbkdf2-sha256\$1000\$[0-9a-f]{32}\$[0-9a-f]{64})")))
        << stored;
    EXPECT_EQ(stored.find("drivoro1234"), std::string::npos);
    // A salt per password: the same password never gives the same stored text twice.
    EXPECT_NE(stored, hash_password("drivoro1234", kFastIterations));
}

TEST(PasswordHash, DefaultCostIsHigh) {
    EXPECT_GE(kPasswordIterations, 600000);
    const std::string stored = hash_password("x");
    EXPECT_EQ(stored.rfind("pbkdf2-sha256$" + std::to_string(kPasswordIterations) + "$", 0), 0u);
}

TEST(PasswordHash, VerifiesOnlyTheSamePassword) {
    const std::string stored = hash_password("drivoro1234", kFastIterations);
    const struct {
        const char* password;
        bool accepted;
    } cases[] = {
        {"drivoro1234", true},  {"drivoro123", false}, {"drivoro12345", false},
        {"DRIVORO1234", false}, {"", false},           {"drivoro1234 ", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(verify_password(c.password, stored), c.accepted) << c.password;
    }
}

TEST(PasswordHash, RefusesStoredTextsItDidNotMake) {
    const std::string good = hash_password("pw", kFastIterations);
    std::string flipped = good;
    flipped.back() = flipped.back() == '0' ? '1' : '0';
    for (const std::string& stored : std::vector<std::string>{
             "", "pw", flipped, "md5$1$00$00", "pbkdf2-sha256$abc$00$00", "pbkdf2-sha256$0$00$00",
             "pbkdf2-sha256$99999999999$00$00", "pbkdf2-sha256$1000$zz$00", "pbkdf2-sha256$1000$$",
             good + "$extra"}) {
        EXPECT_FALSE(verify_password("pw", stored)) << stored;
    }
}

TEST(FileDigest, MatchesKnownAnswers) {
    const struct {
        const char* why;
        std::string bytes;
        const char* sha256;
    } cases[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"longer than one read", std::string(1024 * 1024 + 1, 'a'),
         "4a3f0c0c213adea174f9a3d4c13177315b588bdb2e9c1012d3d0bf0453ca0f6a"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const auto from_bytes = digest_of(c.bytes);
        EXPECT_EQ(from_bytes.size, static_cast<std::int64_t>(c.bytes.size())) << c.why;
        EXPECT_EQ(from_bytes.sha256, c.sha256) << c.why;
        const fs::path file = dir.path() / "file";
        std::ofstream(file, std::ios::binary) << c.bytes;
        const auto from_file = digest_of_file(file);
        EXPECT_EQ(from_file.size, from_bytes.size) << c.why;
        EXPECT_EQ(from_file.sha256, c.sha256) << c.why;
    }
    EXPECT_THROW(digest_of_file(dir.path() / "missing"), std::exception);
}

TEST(CameraDatabase, IsTheSameForTheSameModelAndVersionOnly) {
    const std::string a = camera_db_bytes("TESTCAM1", "2.5", 4099);
    EXPECT_EQ(a.size(), 4099u);
    EXPECT_EQ(a, camera_db_bytes("TESTCAM1", "2.5", 4099));
    EXPECT_NE(a, camera_db_bytes("TESTCAM1", "2.6", 4099));
    EXPECT_NE(a, camera_db_bytes("DRIVORO3", "2.5", 4099));
    // Not a run of one byte value.
    EXPECT_NE(a.find_first_not_of(a[0]), std::string::npos);
}

TEST(ServicePeriod, RunsOneYearFromTheStartOfTheDay) {
    std::tm tm{};
    tm.tm_year = 2025 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 14;
    tm.tm_hour = 15;
    tm.tm_min = 4;
    tm.tm_isdst = -1;
    const auto [start, end] = service_period(std::mktime(&tm));
    EXPECT_EQ(start, "2025-03-14 00:00:00");
    EXPECT_EQ(end, "2026-03-13 23:59:59");
}

class SeededStore : public ::testing::Test {
  protected:
    void SetUp() override {
        db_ = dir_.path() / "standin.db";
        files_ = dir_.path() / "files";
        bool created = false;
        store_ = open_or_create(db_, files_, &created);
        ASSERT_TRUE(created);
    }

    TempDir dir_;
    fs::path db_;
    fs::path files_;
    std::unique_ptr<Store> store_;
};

TEST_F(SeededStore, HoldsTheDocumentedSeedData) {
    const auto models = store_->models_of(seed::kMakerCode);
    ASSERT_EQ(models.size(), seed::kModels.size());
    for (std::size_t i = 0; i < models.size(); ++i) {
        EXPECT_EQ(models[i].idx, seed::kModels[i].idx);
        EXPECT_EQ(models[i].name, seed::kModels[i].name);
        const auto file = store_->current_file(models[i].idx);
        ASSERT_TRUE(file);
        EXPECT_EQ(file->version, seed::kVersion);
        const std::string bytes = read_file(served_file(files_, file->filepath + file->filename));
        EXPECT_EQ(bytes, camera_db_bytes(models[i].name, seed::kVersion, seed::kCameraDbSize));
        EXPECT_EQ(file->size, static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(file->sha256, digest_of(bytes).sha256);
    }
    EXPECT_EQ(store_->current_file(101)->sha256,
              "813b1dc222c7114b029dc08e3f5a6b259568bc6ac4e65f30c4ce1d134095c7ca");
    const auto demo = store_->find_account(std::string(seed::kDemoId));
    ASSERT_TRUE(demo);
    EXPECT_TRUE(verify_password(seed::kDemoPassword, demo->pw_hash));
    EXPECT_EQ(demo->model.name, seed::kDemoModel);
    EXPECT_EQ(store_->payments_of(std::string(seed::kDemoId)).size(), seed::kDemoPayments.size());
    // No seeding leftovers beside the database.
    EXPECT_FALSE(fs::exists(db_.string() + ".seeding"));
}

TEST_F(SeededStore, OpeningAgainKeepsTheDataAndDoesNotSeedTwice) {
    ASSERT_TRUE(
        store_->add_payment(std::string(seed::kDemoId), {"2025-05-05 05:05:05", "BANK", "1"}));
    store_.reset();
    bool created = true;
    store_ = open_or_create(db_, files_, &created);
    EXPECT_FALSE(created);
    EXPECT_EQ(store_->payments_of(std::string(seed::kDemoId)).size(),
              seed::kDemoPayments.size() + 1);
    EXPECT_EQ(store_->models_of(seed::kMakerCode).size(), seed::kModels.size());
}

TEST_F(SeededStore, ReportsServedFilesThatAreNotThere) {
    EXPECT_TRUE(missing_files(*store_, files_).empty());
    EXPECT_EQ(missing_files(*store_, dir_.path() / "elsewhere").size(), seed::kModels.size() + 1);
    fs::remove(served_file(files_, seed::kBannerPath));
    EXPECT_EQ(missing_files(*store_, files_),
              std::vector<std::string>{std::string(seed::kBannerPath)});
}

TEST_F(SeededStore, OpeningAnOlderDatabaseAddsTheDigestsOfItsFiles) {
    store_.reset();
    // A database as the first version left it: no digest column.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "ALTER TABLE db_files DROP COLUMN sha256; PRAGMA user_version = 1",
                           nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
    // One served file is elsewhere for now.
    const fs::path away = dir_.path() / "away.idb";
    const fs::path mv2ch = served_file(files_, seed::file_path(103) + seed::file_name("MV2CH"));
    fs::rename(mv2ch, away);

    store_ = open_or_create(db_, files_);
    for (const std::int64_t idx : {101, 102}) {
        const auto file = store_->current_file(idx);
        ASSERT_TRUE(file);
        EXPECT_EQ(file->sha256,
                  digest_of(read_file(served_file(files_, file->filepath + file->filename))).sha256)
            << idx;
    }
    EXPECT_EQ(store_->current_file(103)->sha256, "");

    store_.reset();
    fs::rename(away, mv2ch);
    store_ = open_or_create(db_, files_);
    EXPECT_EQ(store_->current_file(103)->sha256, digest_of(read_file(mv2ch)).sha256);
    // Still the service's own database for the other commands.
    EXPECT_EQ(store_->models_of(seed::kMakerCode).size(), seed::kModels.size());
}

TEST(OpenOrCreate, RefusesAFileThatIsNotItsDatabaseAndLeavesItAlone) {
    TempDir dir;
    const fs::path db = dir.path() / "notes.db";
    { std::ofstream(db) << "not a database, but someone's notes\n"; }
    EXPECT_THROW(open_or_create(db, dir.path() / "files"), std::exception);
    EXPECT_EQ(read_file(db), "not a database, but someone's notes\n");
}

TEST_F(SeededStore, PublishMakesTheFileCurrentAndKeepsTheOldOne) {
    const auto before = store_->current_file(101);
    ASSERT_TRUE(before);
    const fs::path source = dir_.path() / "new db.idb";
    std::ofstream(source, std::ios::binary) << "new camera data";

    const DbFile published = publish(*store_, files_, "TESTCAM1", "2.6", source);
    EXPECT_EQ(published.version, "2.6");
    EXPECT_EQ(published.filename, "new_db.idb");
    EXPECT_TRUE(
        std::regex_match(published.filepath, std::regex(R"(/upload/sfd/101/2\.6-[0-9a-f]{8}/)")))
        << published.filepath;
    const auto current = store_->current_file(101);
    ASSERT_TRUE(current);
    EXPECT_EQ(current->id, published.id);
    EXPECT_EQ(read_file(served_file(files_, current->filepath + current->filename)),
              "new camera data");
    // Size and digest of what is served, recorded with the file.
    EXPECT_EQ(current->size, 15);
    EXPECT_EQ(current->sha256, "5ec31ace08e2442fc8222a3f3b250fe26bab56001a55a69457604d683315474c");
    EXPECT_TRUE(fs::exists(served_file(files_, before->filepath + before->filename)));
    // Publishing one version twice must not overwrite the first copy.
    const DbFile again = publish(*store_, files_, "TESTCAM1", "2.6", source);
    EXPECT_NE(again.filepath, published.filepath);
}

TEST_F(SeededStore, PublishRefusesWhatItCannotServe) {
    const fs::path good = dir_.path() / "good.idb";
    std::ofstream(good, std::ios::binary) << "data";
    const fs::path empty = dir_.path() / "empty.idb";
    std::ofstream(empty, std::ios::binary);
    const struct {
        const char* why;
        std::string model;
        std::string version;
        fs::path file;
    } cases[] = {
        {"unknown model", "NOPE", "1.0", good},
        {"empty version", "TESTCAM1", "", good},
        {"control character in version", "TESTCAM1", "1.0\n", good},
        {"version not UTF-8", "TESTCAM1", "1.\xFF", good},
        {"version too long", "TESTCAM1", std::string(33, '9'), good},
        {"missing file", "TESTCAM1", "1.0", dir_.path() / "missing.idb"},
        {"folder instead of file", "TESTCAM1", "1.0", dir_.path()},
        {"empty file", "TESTCAM1", "1.0", empty},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(publish(*store_, files_, c.model, c.version, c.file), std::exception) << c.why;
    }
    EXPECT_EQ(store_->current_file(101)->version, seed::kVersion);
}

TEST(SafeName, KeepsOnlyCharactersThatNeedNoEscaping) {
    EXPECT_EQ(safe_name("rp_cam-2.5.idb"), "rp_cam-2.5.idb");
    EXPECT_EQ(safe_name("a b&c=d?e#f/g%h"), "a_b_c_d_e_f_g_h");
    EXPECT_EQ(safe_name("카메라"), std::string(9, '_'));
}

}  // namespace
