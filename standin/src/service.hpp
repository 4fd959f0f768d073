#pragma once

#include <httplib.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "form.hpp"
#include "guard.hpp"
#include "login_limits.hpp"
#include "store.hpp"

namespace drivoro::standin {

// The HTTP face of the stand-in: every address the update manager uses, the database files and
// banner pictures below files_dir, the IP echo and the web pages the program opens. Throws
// std::runtime_error when the TLS files cannot be used.
class Service {
  public:
    struct Options {
        std::filesystem::path files_dir;
        // One line per request on stderr.
        bool log_requests = false;
        // Bodies over limits.max_body_bytes are refused with 413; cpp-httplib itself refuses
        // form bodies above 8 KiB (fixed in Debian's shared library).
        GuardLimits limits = {};
        LoginLimits login_limits = {};
        // Shared by logins and sign-ups; by default PasswordGate::default_running() at once.
        std::shared_ptr<PasswordGate> password_gate = {};
        // PEM files of a certificate (with its chain) and its key: the port speaks TLS too, so
        // that "https://" + host reaches the same service as "http://" + host.
        std::string tls_certificate_file = {};
        std::string tls_key_file = {};
    };

    Service(Store& store, Options options);
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Binds and starts listening; port 0 picks a free port. Returns the port, or -1.
    int bind(const std::string& host, int port);
    // Serves until stop(); returns false when it could not serve at all.
    bool serve();
    void stop();

  private:
    using FormHandler =
        std::function<void(const Form&, const httplib::Request&, httplib::Response&)>;

    // How the server answers what no route takes: refusals, errors, bodiless POSTs.
    void server_rules();
    // Registers a GET (and HEAD) address; other methods get 405.
    void only_get(std::string_view path, httplib::Server::Handler handler);
    // Registers a form POST address; other methods get 405, a malformed form 400 or 415.
    void only_post(std::string_view path, FormHandler handler);

    // The routes by resource, one function each.
    void member_routes();
    void catalogue_routes();
    void database_routes();
    void payment_routes();
    void banner_routes();
    void ip_echo_routes();
    void page_routes();
    void file_routes();
    void unknown_routes();

    Store& store_;
    Options options_;
    LoginLimiter login_limiter_;
    GuardedServer server_;
    // The form addresses by path, for POST requests that come without any body framing.
    std::map<std::string, httplib::Server::Handler> bodiless_posts_;
};

}  // namespace drivoro::standin
