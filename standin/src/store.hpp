#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace drivoro::standin {

struct Model {
    std::int64_t idx = 0;
    std::int64_t maker_code = 0;
    std::string name;
    // Folder on the card that receives the database; "root" for the card's root.
    std::string scdown_directory;
};

struct DbFile {
    std::int64_t id = 0;
    std::int64_t model_idx = 0;
    std::string version;
    std::string filename;
    // Path on the service host, beginning and ending with "/".
    std::string filepath;
    std::int64_t size = 0;
    // SHA-256 of the served file in 64 lower-case hex digits, taken when it was published;
    // empty only for a file that has not been hashed yet (see files_without_digest).
    std::string sha256;
    std::string published_at;
};

// What a login needs about one member, joined from the member, model, maker and file tables.
struct Account {
    std::string mem_id;
    std::string pw_hash;
    std::string maker_name;
    Model model;
    std::string pay_start;
    std::string pay_end;
    std::optional<DbFile> file;
};

struct NewMember {
    std::string mem_id;
    std::string pw_hash;
    std::string bu_date;
    std::int64_t maker_code = 0;
    std::int64_t model_idx = 0;
    std::string cp_no;
    std::string pay_start;
    std::string pay_end;
};

enum class AddMemberResult { Added, Taken, UnknownModel };

struct Payment {
    std::string regdate;
    std::string paymethod;
    std::string amount;
};

struct Banner {
    std::string img_path;
    std::string link_path;
};

struct DownloadRecord {
    std::string requested_at;
    std::string mem_id;
    std::string model_name;
    std::string serialno;
    std::string con_ip;
    std::string peer_addr;
    std::string flag;
    std::string version;
};

class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// "YYYY-MM-DD HH:MM:SS" in local time, the form the service's answers use for dates.
std::string local_time_text(std::time_t when);

// The service's data in one SQLite file. One connection, guarded by a mutex, serves every
// thread of the HTTP server; other processes (the publish command) reach the same file through
// their own Store, and WAL mode with a busy time-out lets them write while the server reads.
class Store {
  public:
    enum class Mode { OpenExisting, CreateNew };

    Store(const std::filesystem::path& file, Mode mode);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Member IDs compare without regard to ASCII letter case.
    std::optional<Account> find_account(const std::string& mem_id);
    bool member_exists(const std::string& mem_id);
    AddMemberResult add_member(const NewMember& member);

    void add_maker(std::int64_t code, const std::string& name);
    Model add_model(std::int64_t maker_code, const std::string& name,
                    const std::string& scdown_directory, std::optional<std::int64_t> idx = {});
    std::vector<Model> models_of(std::int64_t maker_code);
    std::optional<Model> find_model(const std::string& name);
    std::optional<Model> find_model(std::int64_t maker_code, std::int64_t idx);

    std::optional<DbFile> current_file(std::int64_t model_idx);
    // The current file of every model that has one.
    std::vector<DbFile> current_files();
    DbFile add_db_file(std::int64_t model_idx, const std::string& version,
                       const std::string& filename, const std::string& filepath, std::int64_t size,
                       const std::string& sha256);
    // Files recorded before their digest was kept, from databases made by older versions.
    std::vector<DbFile> files_without_digest();
    void set_digest(std::int64_t file_id, std::int64_t size, const std::string& sha256);

    void record_download(const DownloadRecord& record);
    std::vector<DownloadRecord> downloads();

    // False when no such member exists.
    bool add_payment(const std::string& mem_id, const Payment& payment);
    std::vector<Payment> payments_of(const std::string& mem_id);

    void add_banner(std::int64_t bidx, const Banner& banner);
    std::vector<Banner> banners(std::int64_t bidx);
    std::vector<Banner> all_banners();

  private:
    std::optional<DbFile> current_file_locked(std::int64_t model_idx);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace drivoro::standin
