// Payments, the banner list and the IP echo.

#include "answers.hpp"
#include "service.hpp"

namespace drivoro::standin {

using httplib::Request;
using httplib::Response;

void Service::payment_routes() {
    only_post(
        "/mobile/back_c/paylist.json", [this](const Form& form, const Request&, Response& res) {
            const auto values = require<1>(form, {"mem_ID"}, res);
            if (!values)
                return;
            std::vector<JsonFields> payments;
            for (const auto& p : store_.payments_of((*values)[0])) {
                payments.push_back(
                    {{"regdate", p.regdate}, {"paymethod", p.paymethod}, {"amount", p.amount}});
            }
            JsonAnswer().list("list", payments).send(res);
        });
}

void Service::banner_routes() {
    only_post("/mgr/api/call_banner.api", [this](const Form& form, const Request&, Response& res) {
        const auto values = require<1>(form, {"bidx"}, res);
        if (!values)
            return;
        std::vector<JsonFields> banners;
        if (const auto bidx = to_integer((*values)[0])) {
            for (const auto& banner : store_.banners(*bidx)) {
                banners.push_back({{"img_path", banner.img_path}, {"link_path", banner.link_path}});
            }
        }
        JsonAnswer().list("data", banners).send(res);
    });
}

void Service::ip_echo_routes() {
    only_get("/json", [](const Request& req, Response& res) {
        JsonAnswer().text("ip", req.remote_addr).send(res);
    });
}

}  // namespace drivoro::standin
