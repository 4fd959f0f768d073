// Members: login, the sign-up's duplicate check and join, the model catalogue.

#include <algorithm>
#include <chrono>
#include <ctime>
#include <variant>

#include "answers.hpp"
#include "password.hpp"
#include "seed.hpp"
#include "service.hpp"

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
constexpr std::string_view kBusy =
    "요청이 많아 지금은 처리할 수 없습니다. 잠시 후 다시 시도하세요.";

std::string too_many_failures(std::chrono::seconds wait) {
    return "로그인 실패가 너무 많습니다. " + std::to_string(wait.count()) +
           "초 후에 다시 시도하세요.";
}
}  // namespace msg

// Letting blanks at either end or control characters into an ID would make two IDs that look
// the same, and the program trims what it sends anyway.
bool usable_id(const std::string& id) {
    if (id.size() > 64 || id.front() == ' ' || id.back() == ' ')
        return false;
    return std::none_of(id.begin(), id.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

}  // namespace

void Service::member_routes() {
    only_post("/mobile/back_c/getLogin.json",
              [this](const Form& form, const Request& req, Response& res) {
                  const auto values = require<2>(form, {"mem_ID", "mem_pw"}, res);
                  if (!values)
                      return;
                  const auto& [id, password] = *values;
                  // Over the limit: answered at once, without looking at the password.
                  auto admitted = login_limiter_.begin(id, req.remote_addr);
                  if (const auto* wait = std::get_if<std::chrono::seconds>(&admitted))
                      return refuse(res, msg::too_many_failures(*wait));
                  auto& attempt = std::get<LoginLimiter::Attempt>(admitted);
                  const auto account = store_.find_account(id);
                  bool accepted = false;
                  {
                      const auto pass = options_.password_gate->enter();
                      if (!pass) {
                          attempt.cancelled();
                          return refuse(res, msg::kBusy);
                      }
                      if (account) {
                          accepted = verify_password(password, account->pw_hash);
                      } else {
                          burn_password_check(password);
                      }
                  }
                  if (!accepted)
                      return refuse(res, msg::kLoginRefused);
                  attempt.succeeded();
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
                      .text("sfd_size", file ? std::to_string(file->size) : "")
                      .text("sfd_sha256", file ? file->sha256 : "")
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
        std::string pw_hash;
        {
            const auto pass = options_.password_gate->enter();
            if (!pass)
                return refuse(res, msg::kBusy);
            pw_hash = hash_password(password);
        }
        const auto [start, end] = service_period(std::time(nullptr));
        const auto result = store_.add_member(
            NewMember{id, std::move(pw_hash), bu_date, *maker_code, *model_idx, cp_no, start, end});
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
}

void Service::catalogue_routes() {
    only_post("/mobile/back_c/device_add_getproduct.search",
              [this](const Form& form, const Request&, Response& res) {
                  const auto values = require<1>(form, {"mInfo_CODE"}, res);
                  if (!values)
                      return;
                  std::vector<JsonFields> models;
                  if (const auto maker = to_integer((*values)[0])) {
                      for (const auto& model : store_.models_of(*maker)) {
                          models.push_back({{"bInfo_IDX", std::to_string(model.idx)},
                                            {"bInfo_modelName", model.name}});
                      }
                  }
                  JsonAnswer().list("list", models).send(res);
              });
}

}  // namespace drivoro::standin
