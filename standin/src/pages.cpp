// The web pages the program opens in the browser, and the payment page.

#include "answers.hpp"
#include "service.hpp"

namespace drivoro::standin {

namespace {

using httplib::Request;
using httplib::Response;

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

void Service::page_routes() {
    auto static_page = [](const std::string& html) -> httplib::Server::Handler {
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
}

}  // namespace drivoro::standin
