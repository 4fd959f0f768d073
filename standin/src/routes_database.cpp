// The download answer (mode 7): the member's current database, every request recorded.

#include <ctime>

#include "answers.hpp"
#include "service.hpp"

namespace drivoro::standin {

namespace {

using httplib::Request;
using httplib::Response;

namespace msg {
constexpr std::string_view kUnknownMember = "등록되지 않은 회원입니다.";
constexpr std::string_view kExpired = "서비스 기간이 만료되었습니다. 연장결제 후 이용하세요.";
constexpr std::string_view kNoDatabase = "등록된 데이터베이스가 없습니다.";
}  // namespace msg

}  // namespace

void Service::database_routes() {
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
            const std::string now = local_time_text(std::time(nullptr));
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
                .text("sfd_size", std::to_string(file.size))
                .text("sfd_sha256", file.sha256)
                .text("bInfo_scdown_directory", account->model.scdown_directory)
                .send(res);
        });
}

}  // namespace drivoro::standin
