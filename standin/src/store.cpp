#include "store.hpp"

#include <sqlite3.h>

#include <utility>

namespace drivoro::standin {

namespace {

constexpr int kSchemaVersion = 2;

constexpr const char* kSchema = R"sql(
PRAGMA journal_mode = WAL;
CREATE TABLE makers (
    code INTEGER PRIMARY KEY,
    name TEXT NOT NULL
);
CREATE TABLE models (
    idx INTEGER PRIMARY KEY,
    maker_code INTEGER NOT NULL REFERENCES makers(code),
    name TEXT NOT NULL UNIQUE,
    scdown_directory TEXT NOT NULL
);
CREATE TABLE db_files (
    id INTEGER PRIMARY KEY,
    model_idx INTEGER NOT NULL REFERENCES models(idx),
    version TEXT NOT NULL,
    filename TEXT NOT NULL,
    filepath TEXT NOT NULL,
    size INTEGER NOT NULL,
    published_at TEXT NOT NULL,
    sha256 TEXT NOT NULL DEFAULT ''
);
CREATE TABLE members (
    id INTEGER PRIMARY KEY,
    mem_id TEXT NOT NULL UNIQUE COLLATE NOCASE,
    pw_hash TEXT NOT NULL,
    bu_date TEXT NOT NULL,
    model_idx INTEGER NOT NULL REFERENCES models(idx),
    cp_no TEXT NOT NULL,
    pay_start TEXT NOT NULL,
    pay_end TEXT NOT NULL,
    joined_at TEXT NOT NULL
);
CREATE TABLE payments (
    id INTEGER PRIMARY KEY,
    member_id INTEGER NOT NULL REFERENCES members(id),
    regdate TEXT NOT NULL,
    paymethod TEXT NOT NULL,
    amount TEXT NOT NULL
);
CREATE TABLE downloads (
    id INTEGER PRIMARY KEY,
    requested_at TEXT NOT NULL,
    mem_id TEXT NOT NULL,
    model_name TEXT NOT NULL,
    serialno TEXT NOT NULL,
    con_ip TEXT NOT NULL,
    peer_addr TEXT NOT NULL,
    flag TEXT NOT NULL,
    version TEXT NOT NULL
);
CREATE TABLE banners (
    id INTEGER PRIMARY KEY,
    bidx INTEGER NOT NULL,
    img_path TEXT NOT NULL,
    link_path TEXT NOT NULL
);
PRAGMA user_version = 2;
)sql";

// From each version to the next; entry i upgrades version i + 1.
constexpr const char* kMigrations[] = {
    // 1 -> 2: the file's digest, filled in from the served file after opening.
    "ALTER TABLE db_files ADD COLUMN sha256 TEXT NOT NULL DEFAULT ''",
};

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    throw StoreError(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

// One prepared statement; binds by position from 1 and reads columns from 0.
class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            fail(db, sql);
    }
    ~Stmt() { sqlite3_finalize(stmt_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& bind(int index, const std::string& text) {
        check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Stmt& bind(int index, std::int64_t value) {
        check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }

    // True while a row is available.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        fail(db_, sqlite3_sql(stmt_));
    }
    void run() {
        while (step()) {
        }
    }

    std::string text(int column) const {
        const auto* p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }

  private:
    void check(int rc) {
        if (rc != SQLITE_OK)
            fail(db_, "bind");
    }

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "unknown error";
        sqlite3_free(message);
        throw StoreError(text);
    }
}

Model read_model(const Stmt& s, int first) {
    return Model{s.integer(first), s.integer(first + 1), s.text(first + 2), s.text(first + 3)};
}

DbFile read_file(const Stmt& s, int first) {
    return DbFile{s.integer(first),  s.integer(first + 1), s.text(first + 2), s.text(first + 3),
                  s.text(first + 4), s.integer(first + 5), s.text(first + 6), s.text(first + 7)};
}

constexpr const char* kFileColumns =
    "id, model_idx, version, filename, filepath, size, sha256, published_at FROM db_files";

int schema_version(sqlite3* db) {
    Stmt version(db, "PRAGMA user_version");
    return version.step() ? static_cast<int>(version.integer(0)) : 0;
}

// Brings a database of an older version up to this one. The write lock is taken first, so
// two processes opening one old database at once migrate it once.
void migrate(sqlite3* db) {
    const int first = schema_version(db);
    if (first == kSchemaVersion)
        return;
    if (first < 1 || first > kSchemaVersion)
        throw StoreError("not a database of this service");
    exec(db, "BEGIN IMMEDIATE");
    try {
        for (int version = schema_version(db); version < kSchemaVersion; ++version) {
            exec(db, kMigrations[version - 1]);
            exec(db, ("PRAGMA user_version = " + std::to_string(version + 1)).c_str());
        }
        exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace

std::string local_time_text(std::time_t when) {
    std::tm tm{};
    localtime_r(&when, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

Store::Store(const std::filesystem::path& file, Mode mode) {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX |
                      (mode == Mode::CreateNew ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open " + file.string() + ": " + message);
    }
    try {
        sqlite3_busy_timeout(db_, 5000);
        // Every download request is recorded; waiting for the disk on each one made the download
        // answer slower than sending a 3 MiB file. In WAL mode this stays consistent; only a
        // power loss can undo the last records.
        exec(db_, "PRAGMA synchronous = NORMAL");
        exec(db_, "PRAGMA foreign_keys = ON");
        if (mode == Mode::CreateNew) {
            exec(db_, kSchema);
        }
        migrate(db_);
    } catch (const std::exception& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError(file.string() + ": " + e.what());
    }
}

Store::~Store() {
    sqlite3_close(db_);
}

std::optional<Account> Store::find_account(const std::string& mem_id) {
    std::lock_guard lock(mutex_);
    Stmt s(db_,
           "SELECT m.mem_id, m.pw_hash, k.name, d.idx, d.maker_code, d.name, d.scdown_directory,"
           " m.pay_start, m.pay_end"
           " FROM members m JOIN models d ON d.idx = m.model_idx"
           " JOIN makers k ON k.code = d.maker_code WHERE m.mem_id = ?");
    s.bind(1, mem_id);
    if (!s.step())
        return std::nullopt;
    Account account{s.text(0), s.text(1), s.text(2), read_model(s, 3), s.text(7), s.text(8), {}};
    account.file = current_file_locked(account.model.idx);
    return account;
}

bool Store::member_exists(const std::string& mem_id) {
    std::lock_guard lock(mutex_);
    Stmt s(db_, "SELECT 1 FROM members WHERE mem_id = ?");
    s.bind(1, mem_id);
    return s.step();
}

AddMemberResult Store::add_member(const NewMember& member) {
    std::lock_guard lock(mutex_);
    Stmt model(db_, "SELECT 1 FROM models WHERE idx = ? AND maker_code = ?");
    model.bind(1, member.model_idx).bind(2, member.maker_code);
    if (!model.step())
        return AddMemberResult::UnknownModel;
    // The UNIQUE constraint, not a look-up first, decides between two joins of one ID.
    Stmt s(db_,
           "INSERT INTO members (mem_id, pw_hash, bu_date, model_idx, cp_no, pay_start, pay_end,"
           " joined_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (mem_id) DO NOTHING");
    s.bind(1, member.mem_id)
        .bind(2, member.pw_hash)
        .bind(3, member.bu_date)
        .bind(4, member.model_idx)
        .bind(5, member.cp_no)
        .bind(6, member.pay_start)
        .bind(7, member.pay_end)
        .bind(8, local_time_text(std::time(nullptr)));
    s.run();
    return sqlite3_changes(db_) == 1 ? AddMemberResult::Added : AddMemberResult::Taken;
}

void Store::add_maker(std::int64_t code, const std::string& name) {
    std::lock_guard lock(mutex_);
    Stmt s(db_, "INSERT INTO makers (code, name) VALUES (?, ?)");
    s.bind(1, code).bind(2, name).run();
}

Model Store::add_model(std::int64_t maker_code, const std::string& name,
                       const std::string& scdown_directory, std::optional<std::int64_t> idx) {
    std::lock_guard lock(mutex_);
    Stmt s(db_, "INSERT INTO models (idx, maker_code, name, scdown_directory) VALUES (?, ?, ?, ?)");
    if (idx)
        s.bind(1, *idx);
    s.bind(2, maker_code).bind(3, name).bind(4, scdown_directory).run();
    return Model{sqlite3_last_insert_rowid(db_), maker_code, name, scdown_directory};
}

std::vector<Model> Store::models_of(std::int64_t maker_code) {
    std::lock_guard lock(mutex_);
    Stmt s(db_,
           "SELECT idx, maker_code, name, scdown_directory FROM models WHERE maker_code = ?"
           " ORDER BY idx");
    s.bind(1, maker_code);
    std::vector<Model> models;
    while (s.step())
        models.push_back(read_model(s, 0));
    return models;
}

std::optional<Model> Store::find_model(const std::string& name) {
    std::lock_guard lock(mutex_);
    Stmt s(db_, "SELECT idx, maker_code, name, scdown_directory FROM models WHERE name = ?");
    s.bind(1, name);
    if (!s.step())
        return std::nullopt;
    return read_model(s, 0);
}

std::optional<Model> Store::find_model(std::int64_t maker_code, std::int64_t idx) {
    std::lock_guard lock(mutex_);
    Stmt s(db_,
           "SELECT idx, maker_code, name, scdown_directory FROM models"
           " WHERE maker_code = ? AND idx = ?");
    s.bind(1, maker_code).bind(2, idx);
    if (!s.step())
        return std::nullopt;
    return read_model(s, 0);
}

std::optional<DbFile> Store::current_file(std::int64_t model_idx) {
    std::lock_guard lock(mutex_);
    return current_file_locked(model_idx);
}

std::optional<DbFile> Store::current_file_locked(std::int64_t model_idx) {
    Stmt s(db_,
           (std::string("SELECT ") + kFileColumns + " WHERE model_idx = ? ORDER BY id DESC LIMIT 1")
               .c_str());
    s.bind(1, model_idx);
    if (!s.step())
        return std::nullopt;
    return read_file(s, 0);
}

std::vector<DbFile> Store::current_files() {
    std::lock_guard lock(mutex_);
    Stmt s(db_,
           (std::string("SELECT ") + kFileColumns +
            " WHERE id IN (SELECT MAX(id) FROM db_files GROUP BY model_idx) ORDER BY model_idx")
               .c_str());
    std::vector<DbFile> files;
    while (s.step())
        files.push_back(read_file(s, 0));
    return files;
}

DbFile Store::add_db_file(std::int64_t model_idx, const std::string& version,
                          const std::string& filename, const std::string& filepath,
                          std::int64_t size, const std::string& sha256) {
    std::lock_guard lock(mutex_);
    const std::string now = local_time_text(std::time(nullptr));
    Stmt s(db_,
           "INSERT INTO db_files (model_idx, version, filename, filepath, size, sha256,"
           " published_at) VALUES (?, ?, ?, ?, ?, ?, ?)");
    s.bind(1, model_idx).bind(2, version).bind(3, filename).bind(4, filepath).bind(5, size);
    s.bind(6, sha256).bind(7, now).run();
    return DbFile{
        sqlite3_last_insert_rowid(db_), model_idx, version, filename, filepath, size, sha256, now};
}

std::vector<DbFile> Store::files_without_digest() {
    std::lock_guard lock(mutex_);
    Stmt s(db_, (std::string("SELECT ") + kFileColumns + " WHERE sha256 = '' ORDER BY id").c_str());
    std::vector<DbFile> files;
    while (s.step())
        files.push_back(read_file(s, 0));
    return files;
}

void Store::set_digest(std::int64_t file_id, std::int64_t size, const std::string& sha256) {
    std::lock_guard lock(mutex_);
    Stmt s(db_, "UPDATE db_files SET size = ?, sha256 = ? WHERE id = ?");
    s.bind(1, size).bind(2, sha256).bind(3, file_id).run();
}

void Store::record_download(const DownloadRecord& r) {
    std::lock_guard lock(mutex_);
    Stmt s(db_,
           "INSERT INTO downloads (requested_at, mem_id, model_name, serialno, con_ip, peer_addr,"
           " flag, version) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    s.bind(1, r.requested_at).bind(2, r.mem_id).bind(3, r.model_name).bind(4, r.serialno);
    s.bind(5, r.con_ip).bind(6, r.peer_addr).bind(7, r.flag).bind(8, r.version).run();
}

std::vector<DownloadRecord> Store::downloads() {
    std::lock_guard lock(mutex_);
    Stmt s(db_,
           "SELECT requested_at, mem_id, model_name, serialno, con_ip, peer_addr, flag, version"
           " FROM downloads ORDER BY id");
    std::vector<DownloadRecord> records;
    while (s.step()) {
        records.push_back(DownloadRecord{s.text(0), s.text(1), s.text(2), s.text(3), s.text(4),
                                         s.text(5), s.text(6), s.text(7)});
    }
    return records;
}

bool Store::add_payment(const std::string& mem_id, const Payment& p) {
    std::lock_guard lock(mutex_);
    Stmt s(db_,
           "INSERT INTO payments (member_id, regdate, paymethod, amount)"
           " SELECT id, ?, ?, ? FROM members WHERE mem_id = ?");
    s.bind(1, p.regdate).bind(2, p.paymethod).bind(3, p.amount).bind(4, mem_id).run();
    return sqlite3_changes(db_) == 1;
}

std::vector<Payment> Store::payments_of(const std::string& mem_id) {
    std::lock_guard lock(mutex_);
    Stmt s(db_,
           "SELECT p.regdate, p.paymethod, p.amount FROM payments p"
           " JOIN members m ON m.id = p.member_id WHERE m.mem_id = ? ORDER BY p.regdate, p.id");
    s.bind(1, mem_id);
    std::vector<Payment> payments;
    while (s.step())
        payments.push_back(Payment{s.text(0), s.text(1), s.text(2)});
    return payments;
}

void Store::add_banner(std::int64_t bidx, const Banner& banner) {
    std::lock_guard lock(mutex_);
    Stmt s(db_, "INSERT INTO banners (bidx, img_path, link_path) VALUES (?, ?, ?)");
    s.bind(1, bidx).bind(2, banner.img_path).bind(3, banner.link_path).run();
}

std::vector<Banner> Store::all_banners() {
    std::lock_guard lock(mutex_);
    Stmt s(db_, "SELECT img_path, link_path FROM banners ORDER BY id");
    std::vector<Banner> banners;
    while (s.step())
        banners.push_back(Banner{s.text(0), s.text(1)});
    return banners;
}

std::vector<Banner> Store::banners(std::int64_t bidx) {
    std::lock_guard lock(mutex_);
    Stmt s(db_, "SELECT img_path, link_path FROM banners WHERE bidx = ? ORDER BY id");
    s.bind(1, bidx);
    std::vector<Banner> banners;
    while (s.step())
        banners.push_back(Banner{s.text(0), s.text(1)});
    return banners;
}

}  // namespace drivoro::standin
