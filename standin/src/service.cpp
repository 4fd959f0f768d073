#include "service.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <exception>
#include <functional>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "files.hpp"
#include "form.hpp"
#include "password.hpp"
#include "seed.hpp"

namespace drivoro::standin {

namespace {

using httplib::Request;
using httplib::Response;

namespace msg {
constexpr std::string_view kLoginOk = "로그인 되었습니다.";
constexpr std::string_view kLoginNoDatabase =
    "로그인 되었습니다. 등록된 데이터베이스가 아직 없습니다.";
constexpr std::string_view kLoginRefused = "아이디 또는 패스워드가 일치하지 않습니다.";
constexpr std::string_view kIdFree = "사용 가능한 아이디입니다.";
constexpr std::string_view kIdTaken = "이미 사용 중인 아이디입니다.";
constexpr std::string_view kIdEmpty = "아이디를 입력하세요.";
constexpr std::string_view kIdUnusable =
    "사용할 수 없는 아이디입니다. 앞뒤 공백과 제어 문자 없이 64자 이하로 입력하세요.";
constexpr std::string_view kPwEmpty = "패스워드를 입력하세요.";
constexpr std::string_view kPwTooLong = "패스워드는 128자 이하로 입력하세요.";
constexpr std::string_view kUnknownModel = "등록되지 않은 블랙박스 모델입니다.";
constexpr std::string_view kJoined = "회원가입이 완료되었습니다. 로그인 후 이용하세요.";
constexpr std::string_view kUnknownMember = "등록되지 않은 회원입니다.";
constexpr std::string_view kExpired = "서비스 기간이 만료되었습니다. 연장결제 후 이용하세요.";
constexpr std::string_view kNoDatabase = "등록된 데이터베이스가 없습니다.";
}  // namespace msg

constexpr std::string_view kJsonType = "application/json; charset=utf-8";
constexpr std::string_view kTextType = "text/plain; charset=utf-8";
constexpr std::string_view kHtmlType = "text/html; charset=utf-8";

// ---- answers ----

class JsonAnswer {
  public:
    JsonAnswer() : writer_(buffer_) { writer_.StartObject(); }

    JsonAnswer& text(std::string_view key, std::string_view value) {
        writer_.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
        writer_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
        return *this;
    }
    rapidjson::Writer<rapidjson::StringBuffer>& writer() { return writer_; }

    void send(Response& res) {
        writer_.EndObject();
        res.set_content(std::string(buffer_.GetString(), buffer_.GetSize()),
                        std::string(kJsonType).c_str());
    }

  private:
    rapidjson::StringBuffer buffer_;
    rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

void refuse(Response& res, std::string_view text) {
    JsonAnswer().text("flag", "false").text("msg", text).send(res);
}

std::string_view reason(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 415:
            return "Unsupported Media Type";
        case 500:
            return "Internal Server Error";
        default:
            return "Error";
    }
}

void error(Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(std::to_string(status) + " " + std::string(reason(status)) + ": " + text + "\n",
                    std::string(kTextType).c_str());
}

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

bool is_form_type(const std::string& content_type) {
    std::string type = content_type.substr(0, content_type.find(';'));
    type.erase(std::remove(type.begin(), type.end(), ' '), type.end());
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return type == "application/x-www-form-urlencoded";
}

std::string_view query_of(const Request& req) {
    const std::string_view target = req.target;
    const std::size_t mark = target.find('?');
    return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

std::optional<std::int64_t> to_integer(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Every named field must be there (possibly empty); otherwise answers 400 and gives nullopt.
template <std::size_t N>
std::optional<std::array<std::string, N>> require(const Form& form,
                                                  const std::array<std::string_view, N>& names,
                                                  Response& res) {
    std::array<std::string, N> values;
    for (std::size_t i = 0; i < N; ++i) {
        const std::string* value = find_field(form, names[i]);
        if (!value) {
            error(res, 400, "missing parameter " + std::string(names[i]));
            return std::nullopt;
        }
        values[i] = *value;
    }
    return values;
}

// Letting blanks at either end or control characters into an ID would make two IDs that look
// the same, and the program trims what it sends anyway.
bool usable_id(const std::string& id) {
    if (id.size() > 64 || id.front() == ' ' || id.back() == ' ')
        return false;
    return std::none_of(id.begin(), id.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

std::string now_text() {
    return local_time_text(std::time(nullptr));
}

// ---- pages ----

std::string page(std::string_view title, std::string_view body) {
    std::string html = R"(<!DOCTYPE html>
<html lang="ko">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)";
    html += title;
    html += R"(</title>
<style>
body { font-family: sans-serif; max-width: 720px; margin: 2em auto; padding: 0 1em; color: #222; }
h1 { color: #0b2a4a; border-bottom: 3px solid #ffb435; padding-bottom: .3em; }
.note { color: #888; font-size: .85em; margin-top: 3em; }
dt { font-weight: bold; margin-top: 1em; }
</style>
</head>
<body>
<h1>)";
    html += title;
    html += "</h1>\n";
    html += body;
    html += R"(
<p class="note">이 페이지는 업데이트 매니저의 시험용 대체 서비스가 보여 주는 것입니다.
<a href="/">처음으로</a></p>
</body>
</html>
)";
    return html;
}

const std::string kHomePage = page("Drivoro 안전운전 서비스", R"(
<p>블랙박스의 단속카메라 데이터베이스를 최신으로 유지하는 서비스입니다.</p>
<ul>
<li><a href="/mobile/pages/lumvik_manual">사용자 메뉴얼</a></li>
<li><a href="/board/faq/list.html?board_no=3">고객지원 FAQ</a></li>
<li><a href="/pages/policy_use_back">이용약관</a></li>
<li><a href="/pages/policy_private_back">개인정보처리방침</a></li>
</ul>
)");

const std::string kTermsPage = page("이용약관", R"(
<h2>제1조 (목적)</h2>
<p>이 약관은 회사가 제공하는 단속카메라 데이터베이스 업데이트 서비스의 이용 조건과 절차를 정합니다.</p>
<h2>제2조 (서비스 기간)</h2>
<p>서비스는 결제한 기간 동안 제공되며, 기간이 끝나면 연장결제 후 계속 이용할 수 있습니다.</p>
<h2>제3조 (회원의 의무)</h2>
<p>회원은 자신의 아이디와 패스워드를 스스로 관리하며 다른 사람에게 알려서는 안 됩니다.</p>
)");

const std::string kPrivacyPage = page("개인정보처리방침", R"(
<h2>수집하는 개인정보</h2>
<p>아이디, 패스워드(복원할 수 없는 형태로 저장), 생년월일(기념일), 블랙박스 모델, 결제 내역,
데이터베이스 다운로드 기록(블랙박스 일련번호와 접속 주소 포함).</p>
<h2>이용 목적</h2>
<p>회원 확인, 서비스 기간 관리, 블랙박스 모델에 맞는 데이터베이스 제공.</p>
)");

const std::string kManualPage = page("사용자 메뉴얼", R"(
<ol>
<li>업데이트 매니저를 실행하고 아이디와 패스워드로 로그인합니다.</li>
<li>블랙박스의 SD카드를 PC에 꽂고, SD카드가 있는 드라이브를 선택합니다.</li>
<li>블랙박스 모델명과 S/N이 표시되면 [다운로드] 버튼을 누릅니다.</li>
<li>다운로드가 끝나면 SD카드를 블랙박스에 다시 꽂습니다.</li>
</ol>
)");

const std::string kFaqPage = page("고객지원 FAQ", R"(
<dl>
<dt>SD카드가 인식되지 않습니다.</dt>
<dd>블랙박스에서 한 번 이상 사용한 SD카드인지, 올바른 드라이브를 선택했는지 확인한 뒤 [다시읽기]를 누르세요.</dd>
<dt>다운로드 버튼이 눌리지 않습니다.</dt>
<dd>SD카드의 backbbinfo.cfg 파일을 읽은 뒤에만 다운로드할 수 있습니다.</dd>
<dt>서비스 기간을 연장하려면 어떻게 하나요?</dt>
<dd>프로그램의 [연장결제하기] 버튼으로 결제 페이지를 여세요.</dd>
</dl>
)");

}  // namespace

Service::Service(Store& store, Options options) : store_(store), options_(std::move(options)) {
    std::filesystem::create_directories(options_.files_dir / "upload");
    routes();
}

int Service::bind(const std::string& host, int port) {
    if (port == 0)
        return server_.bind_to_any_port(host);
    return server_.bind_to_port(host, port) ? port : -1;
}

bool Service::serve() {
    return server_.listen_after_bind();
}

void Service::stop() {
    server_.stop();
}

void Service::routes() {
    // cpp-httplib's default also sets SO_REUSEPORT, which lets a second stand-in bind the same
    // port and silently take half of the connections; a taken port must fail instead.
    server_.set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.set_payload_max_length(kMaxBodyBytes);
    server_.set_file_extension_and_mimetype_mapping("idb", "application/octet-stream");
    if (!server_.set_mount_point(std::string(kServedPrefix),
                                 (options_.files_dir / "upload").string())) {
        throw std::runtime_error("cannot serve files from " + options_.files_dir.string());
    }

    if (options_.log_requests) {
        server_.set_logger([](const Request& req, const Response& res) {
            std::fprintf(stderr, "%s %s %s -> %d\n", req.remote_addr.c_str(), req.method.c_str(),
                         req.target.c_str(), res.status);
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

    using Handler = httplib::Server::Handler;
    auto not_allowed = [](std::string allow) -> Handler {
        return [allow](const Request& req, Response& res) {
            res.set_header("Allow", allow);
            error(res, 405, req.method + " is not allowed here; use " + allow);
        };
    };
    auto only_get = [&](std::string_view path, Handler handler) {
        const std::string pattern = regex_escape(path);
        const Handler deny = not_allowed("GET, HEAD");
        server_.Get(pattern, std::move(handler));
        server_.Post(pattern, deny).Put(pattern, deny).Patch(pattern, deny);
        server_.Delete(pattern, deny).Options(pattern, deny);
    };
    using FormHandler = std::function<void(const Form&, const Request&, Response&)>;
    auto only_post = [&](std::string_view path, FormHandler handler) {
        const std::string pattern = regex_escape(path);
        const Handler deny = not_allowed("POST");
        const Handler post = [handler](const Request& req, Response& res) {
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
    };

    only_post("/mobile/back_c/getLogin.json",
              [this](const Form& form, const Request&, Response& res) {
                  const auto values = require<2>(form, {"mem_ID", "mem_pw"}, res);
                  if (!values)
                      return;
                  const auto& [id, password] = *values;
                  const auto account = store_.find_account(id);
                  if (!account) {
                      burn_password_check(password);
                      return refuse(res, msg::kLoginRefused);
                  }
                  if (!verify_password(password, account->pw_hash))
                      return refuse(res, msg::kLoginRefused);
                  const auto& file = account->file;
                  JsonAnswer()
                      .text("flag", "true")
                      .text("msg", file ? msg::kLoginOk : msg::kLoginNoDatabase)
                      .text("mInfo_NAME", account->maker_name)
                      .text("mInfo_CODE", std::to_string(account->model.maker_code))
                      .text("bInfo_modelName", account->model.name)
                      .text("bInfo_IDX", std::to_string(account->model.idx))
                      .text("payment_Sdate", account->pay_start)
                      .text("payment_Edate", account->pay_end)
                      .text("sfd_filename", file ? file->filename : "")
                      .text("sfd_filepath", file ? file->filepath : "")
                      .text("sfd_version", file ? file->version : "")
                      .text("bInfo_scdown_directory", account->model.scdown_directory)
                      .send(res);
              });

    only_post("/mobile/back_c/check_dupid.json",
              [this](const Form& form, const Request&, Response& res) {
                  const auto values = require<1>(form, {"mem_ID"}, res);
                  if (!values)
                      return;
                  const std::string& id = (*values)[0];
                  if (id.empty())
                      return refuse(res, msg::kIdEmpty);
                  if (!usable_id(id))
                      return refuse(res, msg::kIdUnusable);
                  if (store_.member_exists(id))
                      return refuse(res, msg::kIdTaken);
                  JsonAnswer().text("flag", "true").text("msg", msg::kIdFree).send(res);
              });

    only_post("/mobile/varbek/join.json", [this](const Form& form, const Request&, Response& res) {
        const auto values = require<6>(
            form, {"mem_ID", "mem_pw", "bu_date", "mInfo_CODE", "bInfo_IDX", "cp_no"}, res);
        if (!values)
            return;
        const auto& [id, password, bu_date, maker, model, cp_no] = *values;
        if (id.empty())
            return refuse(res, msg::kIdEmpty);
        if (!usable_id(id))
            return refuse(res, msg::kIdUnusable);
        if (password.empty())
            return refuse(res, msg::kPwEmpty);
        if (password.size() > 128)
            return refuse(res, msg::kPwTooLong);
        const auto maker_code = to_integer(maker);
        const auto model_idx = to_integer(model);
        if (!maker_code || !model_idx || !store_.find_model(*maker_code, *model_idx)) {
            return refuse(res, msg::kUnknownModel);
        }
        const auto [start, end] = service_period(std::time(nullptr));
        const auto result = store_.add_member(NewMember{
            id, hash_password(password), bu_date, *maker_code, *model_idx, cp_no, start, end});
        switch (result) {
            case AddMemberResult::Added:
                break;
            case AddMemberResult::Taken:
                return refuse(res, msg::kIdTaken);
            case AddMemberResult::UnknownModel:
                return refuse(res, msg::kUnknownModel);
        }
        JsonAnswer().text("flag", "true").text("msg", msg::kJoined).send(res);
    });

    only_post("/mobile/back_c/device_add_getproduct.search", [this](const Form& form,
                                                                    const Request&, Response& res) {
        const auto values = require<1>(form, {"mInfo_CODE"}, res);
        if (!values)
            return;
        const auto maker = to_integer((*values)[0]);
        JsonAnswer answer;
        auto& w = answer.writer();
        w.Key("list");
        w.StartArray();
        if (maker) {
            for (const auto& model : store_.models_of(*maker)) {
                w.StartObject();
                w.Key("bInfo_IDX");
                w.String(std::to_string(model.idx).c_str());
                w.Key("bInfo_modelName");
                w.String(model.name.c_str(), static_cast<rapidjson::SizeType>(model.name.size()));
                w.EndObject();
            }
        }
        w.EndArray();
        answer.send(res);
    });

    // The program puts the values into the address's query, unescaped; the body is empty.
    only_post(
        "/mobile/back_c/sdcard_down.json", [this](const Form&, const Request& req, Response& res) {
            const auto query = parse_form(query_of(req));
            if (!query)
                return error(res, 400, "malformed query encoding or text that is not UTF-8");
            const auto values =
                require<4>(*query, {"mem_ID", "bInfo_modelName", "bInfo_serialno", "Con_IP"}, res);
            if (!values)
                return;
            const auto& [id, model, serial, con_ip] = *values;
            const std::string now = now_text();
            DownloadRecord record{now, id, model, serial, con_ip, req.remote_addr, "false", ""};

            const auto account = store_.find_account(id);
            std::string_view refusal;
            if (!account) {
                refusal = msg::kUnknownMember;
            } else if (account->pay_end < now) {
                refusal = msg::kExpired;
            } else if (!account->file) {
                refusal = msg::kNoDatabase;
            }
            if (!refusal.empty()) {
                store_.record_download(record);
                return refuse(res, refusal);
            }
            const auto& file = *account->file;
            record.flag = "true";
            record.version = file.version;
            store_.record_download(record);
            JsonAnswer()
                .text("flag", "true")
                .text("msg", "최신 데이터베이스(버전 " + file.version + ")를 다운로드합니다.")
                .text("sfd_filename", file.filename)
                .text("sfd_filepath", file.filepath)
                .text("sfd_version", file.version)
                .text("bInfo_scdown_directory", account->model.scdown_directory)
                .send(res);
        });

    only_post("/mobile/back_c/paylist.json",
              [this](const Form& form, const Request&, Response& res) {
                  const auto values = require<1>(form, {"mem_ID"}, res);
                  if (!values)
                      return;
                  JsonAnswer answer;
                  auto& w = answer.writer();
                  w.Key("list");
                  w.StartArray();
                  for (const auto& p : store_.payments_of((*values)[0])) {
                      w.StartObject();
                      w.Key("regdate");
                      w.String(p.regdate.c_str());
                      w.Key("paymethod");
                      w.String(p.paymethod.c_str());
                      w.Key("amount");
                      w.String(p.amount.c_str());
                      w.EndObject();
                  }
                  w.EndArray();
                  answer.send(res);
              });

    only_post("/mgr/api/call_banner.api", [this](const Form& form, const Request&, Response& res) {
        const auto values = require<1>(form, {"bidx"}, res);
        if (!values)
            return;
        const auto bidx = to_integer((*values)[0]);
        JsonAnswer answer;
        auto& w = answer.writer();
        w.Key("data");
        w.StartArray();
        if (bidx) {
            for (const auto& banner : store_.banners(*bidx)) {
                w.StartObject();
                w.Key("img_path");
                w.String(banner.img_path.c_str());
                w.Key("link_path");
                w.String(banner.link_path.c_str());
                w.EndObject();
            }
        }
        w.EndArray();
        answer.send(res);
    });

    only_get("/json", [](const Request& req, Response& res) {
        JsonAnswer().text("ip", req.remote_addr).send(res);
    });

    auto static_page = [](const std::string& html) -> Handler {
        return [&html](const Request&, Response& res) {
            res.set_content(html, std::string(kHtmlType).c_str());
        };
    };
    only_get("/", static_page(kHomePage));
    only_get("/pages/policy_use_back", static_page(kTermsPage));
    only_get("/pages/policy_private_back", static_page(kPrivacyPage));
    only_get("/mobile/pages/lumvik_manual", static_page(kManualPage));
    only_get("/board/faq/list.html", static_page(kFaqPage));

    only_get("/mobile/back_c/ex_payment_loader_back", [this](const Request& req, Response& res) {
        const auto query = parse_form(query_of(req));
        if (!query)
            return error(res, 400, "malformed query encoding or text that is not UTF-8");
        const auto values = require<1>(*query, {"mem_ID"}, res);
        if (!values)
            return;
        const std::string& id = (*values)[0];
        std::string body = "<p>회원 아이디: <strong>" + html_escape(id) + "</strong></p>\n";
        if (const auto account = store_.find_account(id)) {
            body += "<p>블랙박스 모델: " + html_escape(account->model.name) + "</p>\n";
            body += "<p>현재 서비스 기간: " + html_escape(account->pay_start) + " ~ " +
                    html_escape(account->pay_end) + "</p>\n";
            body += "<p>연장 결제는 이 시험용 서비스에서 처리하지 않습니다.</p>\n";
        } else {
            body += "<p>등록되지 않은 회원입니다.</p>\n";
        }
        res.set_content(page("서비스 연장 결제", body), std::string(kHtmlType).c_str());
    });

    // Whatever no route above took: files for GET are answered by the mount point first.
    const Handler unknown = [](const Request& req, Response& res) {
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
