// drivoro-standin: the vendor's web service as a local stand-in, for the demo and the tests.

#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "files.hpp"
#include "guard.hpp"
#include "password.hpp"
#include "seed.hpp"
#include "service.hpp"
#include "store.hpp"

namespace {

using namespace drivoro::standin;
namespace fs = std::filesystem;

constexpr int kDefaultPort = 18480;

constexpr const char* kUsage = R"(usage:
  drivoro-standin serve --db FILE [--port N] [--host ADDRESS] [--files DIR] [--log]
                        [--tls-cert FILE --tls-key FILE]
  drivoro-standin publish --db FILE --model NAME --version TEXT --file PATH [--name FILE_NAME]
  drivoro-standin add-model --db FILE --name NAME [--directory FOLDER]
  drivoro-standin add-member --db FILE --id ID --password TEXT --model NAME
                             [--birth-date TEXT] [--start DATE_TIME] [--end DATE_TIME]
  drivoro-standin add-payment --db FILE --id ID --method CARD|VCARD|VACCOUNT|BANK --amount N
                              [--date DATE_TIME]
  drivoro-standin downloads --db FILE

Every command creates and seeds the database when FILE does not exist yet. The served files
live in --files DIR (default: FILE's name without extension + "-files", beside FILE).
serve listens on 127.0.0.1:18480 unless told otherwise; --port 0 picks a free port. It prints
"listening on HOST:PORT" once it accepts connections. With --tls-cert and --tls-key (PEM files:
the certificate with its chain, and its key) the same port speaks HTTPS too.
DATE_TIME is "YYYY-MM-DD HH:MM:SS".
)";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Args {
    std::string command;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;

    bool has(const std::string& name) const { return values.count(name) != 0; }
    const std::string& get(const std::string& name) const {
        const auto it = values.find(name);
        if (it == values.end())
            throw UsageError(command + " needs --" + name);
        return it->second;
    }
    std::string get(const std::string& name, const std::string& fallback) const {
        return has(name) ? values.at(name) : fallback;
    }
};

struct CommandSpec {
    std::set<std::string> options;
    std::set<std::string> flags;
};

const std::map<std::string, CommandSpec> kCommands = {
    {"serve", {{"db", "port", "host", "files", "tls-cert", "tls-key"}, {"log"}}},
    {"publish", {{"db", "files", "model", "version", "file", "name"}, {}}},
    {"add-model", {{"db", "files", "name", "directory"}, {}}},
    {"add-member", {{"db", "files", "id", "password", "model", "birth-date", "start", "end"}, {}}},
    {"add-payment", {{"db", "files", "id", "method", "amount", "date"}, {}}},
    {"downloads", {{"db", "files"}, {}}},
};

Args parse_args(int argc, char** argv) {
    if (argc < 2)
        throw UsageError("no command given");
    Args args;
    args.command = argv[1];
    const auto command = kCommands.find(args.command);
    if (command == kCommands.end())
        throw UsageError("unknown command " + args.command);
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.rfind("--", 0) != 0)
            throw UsageError("unexpected argument " + word);
        const std::string name = word.substr(2);
        if (command->second.flags.count(name)) {
            args.flags.insert(name);
        } else if (command->second.options.count(name)) {
            if (i + 1 >= argc)
                throw UsageError(word + " needs a value");
            if (!args.values.emplace(name, argv[++i]).second) {
                throw UsageError(word + " given twice");
            }
        } else {
            throw UsageError(args.command + " has no option " + word);
        }
    }
    args.get("db");
    return args;
}

bool is_date_time(const std::string& text) {
    static constexpr std::string_view kShape = "0000-00-00 00:00:00";
    if (text.size() != kShape.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == '0' ? !digit : text[i] != kShape[i])
            return false;
    }
    return true;
}

std::string date_time_option(const Args& args, const std::string& name,
                             const std::string& fallback) {
    const std::string value = args.get(name, fallback);
    if (!is_date_time(value))
        throw UsageError("--" + name + " must look like 2025-03-14 09:30:00");
    return value;
}

int serve(const Args& args, Store& store, const fs::path& files_dir) {
    const std::string host = args.get("host", "127.0.0.1");
    int port = kDefaultPort;
    if (args.has("port")) {
        const std::string& text = args.get("port");
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
        if (ec != std::errc() || end != text.data() + text.size() || port < 0 || port > 65535) {
            throw UsageError("--port must be a number from 0 to 65535");
        }
    }

    if (!is_loopback_host(host)) {
        std::cerr << "drivoro-standin: warning: " << host
                  << " is not a loopback address, so other machines can reach this service. The "
                     "program's requests come in plain HTTP (passwords cross the network "
                     "readable); it keeps no real data safe and is meant for tests and "
                     "demonstrations only.\n";
    }
    for (const auto& path : missing_files(store, files_dir)) {
        std::cerr << "drivoro-standin: warning: " << path << " is not in " << files_dir.string()
                  << "; requests for it will get 404\n";
    }

    // The server's threads inherit this mask; one thread takes the signals and stops serving.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    if (args.has("tls-cert") != args.has("tls-key"))
        throw UsageError("--tls-cert and --tls-key go together");
    Service::Options options{files_dir, args.flags.count("log") != 0};
    options.tls_certificate_file = args.get("tls-cert", "");
    options.tls_key_file = args.get("tls-key", "");
    Service service(store, options);
    const int bound = service.bind(host, port);
    if (bound < 0) {
        std::cerr << "drivoro-standin: cannot listen on " << host << ":" << port << "\n";
        return 1;
    }
    std::thread([&service, stop_signals] {
        int signal_number = 0;
        sigwait(&stop_signals, &signal_number);
        service.stop();
    }).detach();

    std::cout << "listening on " << host << ":" << bound << std::endl;
    return service.serve() ? 0 : 1;
}

int add_member(const Args& args, Store& store) {
    const std::string& id = args.get("id");
    const std::string& password = args.get("password");
    if (id.empty() || password.empty())
        throw UsageError("--id and --password must not be empty");
    const auto model = store.find_model(args.get("model"));
    if (!model)
        throw std::runtime_error("unknown model: " + args.get("model"));
    const auto [start, end] = service_period(std::time(nullptr));
    const auto result = store.add_member(NewMember{
        id, hash_password(password), args.get("birth-date", ""), model->maker_code, model->idx, "",
        date_time_option(args, "start", start), date_time_option(args, "end", end)});
    if (result != AddMemberResult::Added)
        throw std::runtime_error("the ID is taken: " + id);
    std::cout << "added member " << id << " with model " << model->name << "\n";
    return 0;
}

int add_model(const Args& args, Store& store) {
    const std::string& name = args.get("name");
    // The program puts the model name into the download address without escaping it.
    if (name.empty() || safe_name(name) != name) {
        throw UsageError("model names may hold only letters, digits, '.', '-' and '_'");
    }
    const Model model = store.add_model(seed::kMakerCode, name, args.get("directory", "root"));
    std::cout << "added model " << model.name << " with index " << model.idx
              << "; publish a database for it next\n";
    return 0;
}

int add_payment(const Args& args, Store& store) {
    const std::string& method = args.get("method");
    if (method != "CARD" && method != "VCARD" && method != "VACCOUNT" && method != "BANK") {
        throw UsageError("--method must be CARD, VCARD, VACCOUNT or BANK");
    }
    const std::string& amount = args.get("amount");
    if (amount.empty() || amount.find_first_not_of("0123456789") != std::string::npos) {
        throw UsageError("--amount must be a whole number");
    }
    const Payment payment{date_time_option(args, "date", local_time_text(std::time(nullptr))),
                          method, amount};
    if (!store.add_payment(args.get("id"), payment)) {
        throw std::runtime_error("no member with the ID " + args.get("id"));
    }
    std::cout << "added payment for " << args.get("id") << "\n";
    return 0;
}

int list_downloads(Store& store) {
    std::cout
        << "requested_at\tmem_ID\tbInfo_modelName\tbInfo_serialno\tCon_IP\tpeer\tflag\tversion\n";
    for (const auto& r : store.downloads()) {
        std::cout << r.requested_at << '\t' << r.mem_id << '\t' << r.model_name << '\t'
                  << r.serialno << '\t' << r.con_ip << '\t' << r.peer_addr << '\t' << r.flag << '\t'
                  << r.version << '\n';
    }
    return 0;
}

int run(const Args& args) {
    const fs::path db = args.get("db");
    const fs::path files_dir =
        args.has("files") ? fs::path(args.get("files")) : default_files_dir(db);
    bool created = false;
    const auto store = open_or_create(db, files_dir, &created);
    if (created) {
        std::cerr << "drivoro-standin: created " << db.string() << " with its files in "
                  << files_dir.string() << " (demo login " << seed::kDemoId << " / "
                  << seed::kDemoPassword << ")\n";
    }

    if (args.command == "serve")
        return serve(args, *store, files_dir);
    if (args.command == "publish") {
        const DbFile file =
            publish(*store, files_dir, args.get("model"), args.get("version"), args.get("file"),
                    args.has("name") ? std::optional<std::string>(args.get("name")) : std::nullopt);
        std::cout << "published " << args.get("model") << " version " << file.version << " as "
                  << file.filepath << file.filename << " (" << file.size << " bytes)\n";
        return 0;
    }
    if (args.command == "add-member")
        return add_member(args, *store);
    if (args.command == "add-model")
        return add_model(args, *store);
    if (args.command == "add-payment")
        return add_payment(args, *store);
    return list_downloads(*store);
}

}  // namespace

int main(int argc, char** argv) {
    // A client that hangs up while an answer is being written must not end the service.
    signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "help")) {
        std::cout << kUsage;
        return 0;
    }
    try {
        return run(parse_args(argc, argv));
    } catch (const UsageError& e) {
        std::cerr << "drivoro-standin: " << e.what() << "\n\n" << kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "drivoro-standin: " << e.what() << "\n";
        return 1;
    }
}
