#include "seed.hpp"

// libjpeg's header needs FILE and size_t declared before it.
#include <jpeglib.h>
#include <cstdio>

#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "files.hpp"
#include "password.hpp"

namespace drivoro::standin {

namespace fs = std::filesystem;

namespace seed {

std::string file_path(std::int64_t model_idx) {
    return "/upload/sfd/" + std::to_string(model_idx) + "/" + std::string(kVersion) + "/";
}

std::string file_name(std::string_view model) {
    return safe_name(model) + "_" + std::string(kVersion) + ".idb";
}

}  // namespace seed

std::string camera_db_bytes(std::string_view model, std::string_view version, std::size_t size) {
    // FNV-1a of "model\nversion" seeds a splitmix64 stream.
    std::uint64_t state = 0xcbf29ce484222325ULL;
    auto mix_in = [&state](std::string_view text) {
        for (const char c : text) {
            state ^= static_cast<unsigned char>(c);
            state *= 0x100000001b3ULL;
        }
    };
    mix_in(model);
    mix_in("\n");
    mix_in(version);

    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        state += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        z ^= z >> 31;
        for (std::size_t k = 0; k < 8 && i + k < size; ++k) {
            out[i + k] = static_cast<char>((z >> (8 * k)) & 0xFF);
        }
    }
    return out;
}

namespace {

// 5 x 7 capitals for the banner's lettering; each row is 5 bits, the high bit on the left.
struct Glyph {
    char letter;
    std::uint8_t rows[7];
};
constexpr Glyph kGlyphs[] = {
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'Y', {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04}},
};

struct Canvas {
    int width;
    int height;
    std::vector<unsigned char> rgb;

    void set(int x, int y, unsigned r, unsigned g, unsigned b) {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return;
        auto* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
        p[0] = static_cast<unsigned char>(r);
        p[1] = static_cast<unsigned char>(g);
        p[2] = static_cast<unsigned char>(b);
    }

    void text(int x, int y, int scale, std::string_view line, unsigned r, unsigned g, unsigned b) {
        for (const char c : line) {
            for (const auto& glyph : kGlyphs) {
                if (glyph.letter != c)
                    continue;
                for (int row = 0; row < 7; ++row) {
                    for (int col = 0; col < 5; ++col) {
                        if (!(glyph.rows[row] & (0x10 >> col)))
                            continue;
                        for (int dy = 0; dy < scale; ++dy) {
                            for (int dx = 0; dx < scale; ++dx) {
                                set(x + col * scale + dx, y + row * scale + dy, r, g, b);
                            }
                        }
                    }
                }
            }
            x += 6 * scale;
        }
    }
};

struct JpegFailure {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void jpeg_fail(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegFailure*>(info->err)->jump, 1);
}

std::string encode_jpeg(const Canvas& canvas) {
    jpeg_compress_struct info{};
    JpegFailure failure{};
    info.err = jpeg_std_error(&failure.base);
    failure.base.error_exit = jpeg_fail;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    // Nothing with a destructor may live between setjmp and the longjmp back to it.
    if (setjmp(failure.jump)) {
        jpeg_destroy_compress(&info);
        std::free(buffer);
        throw std::runtime_error("cannot encode the banner picture");
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(canvas.width);
    info.image_height = static_cast<JDIMENSION>(canvas.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(
            &canvas.rgb[static_cast<std::size_t>(info.next_scanline) * canvas.width * 3]);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string out(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return out;
}

}  // namespace

std::string banner_jpeg() {
    Canvas canvas{seed::kBannerWidth, seed::kBannerHeight,
                  std::vector<unsigned char>(static_cast<std::size_t>(seed::kBannerWidth) *
                                             seed::kBannerHeight * 3)};
    // Navy to blue from left to right, an orange rule at the bottom.
    for (int y = 0; y < canvas.height; ++y) {
        for (int x = 0; x < canvas.width; ++x) {
            const unsigned t = static_cast<unsigned>(x * 255 / (canvas.width - 1));
            if (y >= canvas.height - 6) {
                canvas.set(x, y, 0xFF, 0xB4, 0x35);
            } else {
                canvas.set(x, y, 0x0B + (0x1F - 0x0B) * t / 255, 0x2A + (0x6F - 0x2A) * t / 255,
                           0x4A + (0xB2 - 0x4A) * t / 255);
            }
        }
    }
    canvas.text(24, 14, 7, "DRIVORO", 0xFF, 0xFF, 0xFF);
    canvas.text(26, 78, 2, "SAFETY CAMERA DB UPDATE", 0xFF, 0xB4, 0x35);
    // A lens: orange ring around a white centre.
    for (int y = 0; y < canvas.height; ++y) {
        for (int x = 0; x < canvas.width; ++x) {
            const int dx = x - 486;
            const int dy = y - 52;
            const int d2 = dx * dx + dy * dy;
            if (d2 <= 14 * 14) {
                canvas.set(x, y, 0xFF, 0xFF, 0xFF);
            } else if (d2 >= 26 * 26 && d2 <= 36 * 36) {
                canvas.set(x, y, 0xFF, 0xB4, 0x35);
            }
        }
    }
    return encode_jpeg(canvas);
}

std::pair<std::string, std::string> service_period(std::time_t now) {
    std::tm tm{};
    localtime_r(&now, &tm);
    tm.tm_hour = 0;
    tm.tm_min = 0;
    tm.tm_sec = 0;
    tm.tm_isdst = -1;
    const std::time_t start = std::mktime(&tm);
    tm.tm_year += 1;
    tm.tm_sec = -1;
    tm.tm_isdst = -1;
    const std::time_t end = std::mktime(&tm);
    return {local_time_text(start), local_time_text(end)};
}

void seed_store(Store& store, const fs::path& files_dir, std::time_t now) {
    store.add_maker(seed::kMakerCode, std::string(seed::kMakerName));
    for (const auto& m : seed::kModels) {
        store.add_model(seed::kMakerCode, std::string(m.name), std::string(m.scdown_directory),
                        m.idx);
        const std::string bytes = camera_db_bytes(m.name, seed::kVersion, seed::kCameraDbSize);
        const std::string path = seed::file_path(m.idx);
        const std::string name = seed::file_name(m.name);
        write_file_atomically(served_file(files_dir, path + name), bytes);
        const FileDigest digest = digest_of(bytes);
        store.add_db_file(m.idx, std::string(seed::kVersion), name, path, digest.size,
                          digest.sha256);
    }

    const auto demo_model = store.find_model(std::string(seed::kDemoModel));
    const auto [start, end] = service_period(now);
    store.add_member(NewMember{std::string(seed::kDemoId), hash_password(seed::kDemoPassword),
                               std::string(seed::kDemoBirthDate), seed::kMakerCode, demo_model->idx,
                               "", start, end});
    for (const auto& p : seed::kDemoPayments) {
        store.add_payment(
            std::string(seed::kDemoId),
            Payment{std::string(p.regdate), std::string(p.paymethod), std::string(p.amount)});
    }

    write_file_atomically(served_file(files_dir, seed::kBannerPath), banner_jpeg());
    store.add_banner(seed::kBannerBidx,
                     Banner{std::string(seed::kBannerPath), std::string(seed::kBannerLink)});
}

fs::path default_files_dir(const fs::path& db) {
    return db.parent_path() / (db.stem().string() + "-files");
}

std::unique_ptr<Store> open_or_create(const fs::path& db, const fs::path& files_dir,
                                      bool* created) {
    if (created)
        *created = false;
    std::error_code ec;
    if (fs::exists(db, ec)) {
        auto store = std::make_unique<Store>(db, Store::Mode::OpenExisting);
        complete_digests(*store, files_dir);
        return store;
    }
    if (ec)
        throw std::runtime_error("cannot look at " + db.string() + ": " + ec.message());

    const fs::path temp = db.string() + ".seeding";
    auto remove_temp = [&temp] {
        std::error_code ignored;
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            fs::remove(temp.string() + suffix, ignored);
        }
    };
    remove_temp();
    try {
        {
            Store fresh(temp, Store::Mode::CreateNew);
            seed_store(fresh, files_dir, std::time(nullptr));
        }
        // Closing the last connection folds the WAL back into the file. link() refuses to
        // replace a database that another process finished first; that one is then used.
        if (::link(temp.c_str(), db.c_str()) == 0) {
            if (created)
                *created = true;
        } else if (errno != EEXIST) {
            // File systems without hard links (FAT, some network shares): a plain rename.
            const int link_error = errno;
            std::error_code exists_error;
            if (fs::exists(db, exists_error)) {
                // Another process finished first after all; its database is used.
            } else if (::rename(temp.c_str(), db.c_str()) == 0) {
                if (created)
                    *created = true;
            } else {
                throw std::system_error(link_error, std::generic_category(),
                                        "cannot create " + db.string());
            }
        }
    } catch (...) {
        remove_temp();
        throw;
    }
    remove_temp();
    return std::make_unique<Store>(db, Store::Mode::OpenExisting);
}

}  // namespace drivoro::standin
