#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "store.hpp"

namespace drivoro::standin {

// The data a new database starts with. The README lists the same values.
namespace seed {

inline constexpr std::int64_t kMakerCode = 378;
inline constexpr std::string_view kMakerName = "MORVEL";

struct SeedModel {
    std::int64_t idx;
    std::string_view name;
    std::string_view scdown_directory;
};
inline constexpr std::array<SeedModel, 3> kModels{{
    {101, "TESTCAM1", "root"},
    {102, "DRIVORO3", "root"},
    {103, "MV2CH", "BBDATA"},
}};

inline constexpr std::string_view kVersion = "2.5";
inline constexpr std::size_t kCameraDbSize = 3 * 1024 * 1024;

inline constexpr std::string_view kDemoId = "demo0001";
inline constexpr std::string_view kDemoPassword = "drivoro1234";
inline constexpr std::string_view kDemoModel = "TESTCAM1";
inline constexpr std::string_view kDemoBirthDate = "1990-03-30";

struct SeedPayment {
    std::string_view regdate;
    std::string_view paymethod;
    std::string_view amount;
};
inline constexpr std::array<SeedPayment, 5> kDemoPayments{{
    {"2023-01-09 14:02:11", "CARD", "33000"},
    {"2023-07-21 09:45:30", "VCARD", "16500"},
    {"2024-01-15 19:12:05", "VACCOUNT", "33000"},
    {"2024-08-02 11:30:44", "BANK", "16500"},
    {"2025-02-11 08:05:59", "CARD", "33000"},
}};

inline constexpr std::int64_t kBannerBidx = 4;
inline constexpr std::string_view kBannerPath = "/upload/banner/drivoro_banner.jpg";
inline constexpr std::string_view kBannerLink = "/board/faq/list.html?board_no=3";
inline constexpr int kBannerWidth = 566;
inline constexpr int kBannerHeight = 111;

// The served folder and file name of a seeded camera database.
std::string file_path(std::int64_t model_idx);
std::string file_name(std::string_view model);

}  // namespace seed

// Deterministic pseudo-random bytes standing in for a camera database: the same model and
// version always give the same bytes, so tests can check a download byte for byte.
std::string camera_db_bytes(std::string_view model, std::string_view version, std::size_t size);

// The banner picture, a baseline JPEG of seed::kBannerWidth x seed::kBannerHeight.
std::string banner_jpeg();

// A service period of one year from the start of the day of `now`.
std::pair<std::string, std::string> service_period(std::time_t now);

// Fills a new, empty store and writes the files it refers to below files_dir.
void seed_store(Store& store, const std::filesystem::path& files_dir, std::time_t now);

// "<folder of db>/<db name without extension>-files"
std::filesystem::path default_files_dir(const std::filesystem::path& db);

// Opens the database, first creating and seeding it when the file does not exist. The new
// database is built under a temporary name and renamed into place, so an interrupted seeding
// never leaves a half-filled database behind that a later start would take as complete. A
// database of an older version is brought up to date, its files' digests taken from files_dir.
std::unique_ptr<Store> open_or_create(const std::filesystem::path& db,
                                      const std::filesystem::path& files_dir,
                                      bool* created = nullptr);

}  // namespace drivoro::standin
