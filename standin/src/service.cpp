#include "service.hpp"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>

#include "answers.hpp"
#include "files.hpp"

namespace drivoro::standin {

namespace {

using httplib::Request;
using httplib::Response;

std::string regex_escape(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (std::string_view(".^$|()[]{}*+?\\").find(c) != std::string_view::npos) {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

// Each waiting check holds a worker thread; the rest stay free for other requests.
constexpr std::size_t kPasswordChecksWaiting = 16;

httplib::Server::Handler not_allowed(std::string allow) {
    return [allow](const Request& req, Response& res) {
        res.set_header("Allow", allow);
        error(res, 405, req.method + " is not allowed here; use " + allow);
    };
}

}  // namespace

Service::Service(Store& store, Options options)
    : store_(store),
      options_(std::move(options)),
      login_limiter_(options_.login_limits),
      server_(options_.limits) {
    if (!options_.password_gate) {
        options_.password_gate =
            std::make_shared<PasswordGate>(PasswordGate::default_running(), kPasswordChecksWaiting);
    }
    std::filesystem::create_directories(options_.files_dir / "upload");
    if (!options_.tls_certificate_file.empty() || !options_.tls_key_file.empty())
        server_.use_tls(options_.tls_certificate_file, options_.tls_key_file);
    server_rules();
    member_routes();
    catalogue_routes();
    database_routes();
    payment_routes();
    banner_routes();
    ip_echo_routes();
    page_routes();
    file_routes();
    // Last: the routes are tried in the order they were added.
    unknown_routes();
}

int Service::bind(const std::string& host, int port) {
    return server_.bind(host, port);
}

bool Service::serve() {
    return server_.serve();
}

void Service::stop() {
    server_.stop();
}

void Service::server_rules() {
    if (options_.log_requests) {
        server_.set_logger([](const Request& req, const Response& res) {
            std::fprintf(stderr, "%s %s %s -> %d\n", req.remote_addr.c_str(), req.method.c_str(),
                         req.target.c_str(), res.status);
        });
        server_.set_refusal_logger([](const std::string& address, int status) {
            std::fprintf(stderr, "%s (refused unread) -> %d\n", address.c_str(), status);
        });
    }
    server_.set_exception_handler([](const Request& req, Response& res, std::exception_ptr ep) {
        std::string what = "unknown error";
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        std::fprintf(stderr, "error answering %s %s: %s\n", req.method.c_str(), req.target.c_str(),
                     what.c_str());
        error(res, 500, "the stand-in service failed on this request");
    });
    // cpp-httplib's own refusals (bad request line, 413, ...) come without a body.
    server_.set_error_handler(
        httplib::Server::HandlerWithResponse([](const Request& req, Response& res) {
            if (!res.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            switch (res.status) {
                case 400:
                    error(res, 400, "malformed request");
                    break;
                case 404:
                    error(res, 404, "no such address " + req.path);
                    break;
                case 413:
                    error(res, 413, "the body is too large");
                    break;
                case 414:
                    error(res, 414, "the address is too long");
                    break;
                default:
                    error(res, res.status, "refused");
            }
            return httplib::Server::HandlerResponse::Handled;
        }));

    // A POST without Content-Length and Transfer-Encoding has an empty body (RFC 9112 6.3),
    // but cpp-httplib 0.11 refuses it with 400. Such requests are answered here, before
    // cpp-httplib tries to read a body; there is none left on the connection.
    server_.set_pre_routing_handler([this](const Request& req, Response& res) {
        if (req.method != "POST" || req.has_header("Content-Length") ||
            req.has_header("Transfer-Encoding")) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        const auto route = bodiless_posts_.find(req.path);
        if (route == bodiless_posts_.end())
            return httplib::Server::HandlerResponse::Unhandled;
        route->second(req, res);
        return httplib::Server::HandlerResponse::Handled;
    });
}

void Service::only_get(std::string_view path, httplib::Server::Handler handler) {
    const std::string pattern = regex_escape(path);
    const auto deny = not_allowed("GET, HEAD");
    server_.Get(pattern, std::move(handler));
    server_.Post(pattern, deny).Put(pattern, deny).Patch(pattern, deny);
    server_.Delete(pattern, deny).Options(pattern, deny);
}

void Service::only_post(std::string_view path, FormHandler handler) {
    const std::string pattern = regex_escape(path);
    const auto deny = not_allowed("POST");
    const httplib::Server::Handler post = [handler](const Request& req, Response& res) {
        if (!req.body.empty() && !is_form_type(req.get_header_value("Content-Type"))) {
            error(res, 415, "the body must be application/x-www-form-urlencoded");
            return;
        }
        const auto form = parse_form(req.body);
        if (!form) {
            error(res, 400, "malformed form encoding or text that is not UTF-8");
            return;
        }
        handler(*form, req, res);
    };
    server_.Post(pattern, post);
    bodiless_posts_.emplace(std::string(path), post);
    server_.Get(pattern, deny).Put(pattern, deny).Patch(pattern, deny);
    server_.Delete(pattern, deny).Options(pattern, deny);
}

void Service::unknown_routes() {
    // Whatever no route above took.
    const httplib::Server::Handler unknown = [](const Request& req, Response& res) {
        const bool file_area = req.path.rfind(kServedPrefix, 0) == 0;
        if (file_area && req.method != "GET" && req.method != "HEAD") {
            res.set_header("Allow", "GET, HEAD");
            return error(res, 405, req.method + " is not allowed here; use GET, HEAD");
        }
        error(res, 404, "no such address " + req.path);
    };
    server_.Get(".*", unknown).Post(".*", unknown).Put(".*", unknown).Patch(".*", unknown);
    server_.Delete(".*", unknown).Options(".*", unknown);
}

}  // namespace drivoro::standin
