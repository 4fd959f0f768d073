#pragma once
// The sign-up window against a test server whose answers a test can change between clicks.

#include <QComboBox>
#include <QCoreApplication>
#include <QPointer>
#include <map>
#include <mutex>

#include "account/tfmember.h"
#include "support/app_fixture.h"
#include "support/controls.h"
#include "ui_tfmember.h"

inline constexpr const char* kCataloguePath = "/mobile/back_c/device_add_getproduct.search";
inline constexpr const char* kDupIdPath = "/mobile/back_c/check_dupid.json";
inline constexpr const char* kJoinPath = "/mobile/varbek/join.json";

inline constexpr const char* kTwoModels =
    R"({"list":[{"bInfo_IDX":"7","bInfo_modelName":"A"},{"bInfo_IDX":"9","bInfo_modelName":"B"}]})";

class MemberFixture : public AppFixture {
  protected:
    void setUpServer(TestServer& s) override {
        reply(kCataloguePath, kTwoModels);
        reply(kDupIdPath, R"({"flag":"true","msg":"free"})");
        reply(kJoinPath, R"({"flag":"true","msg":"joined"})");
        for (const char* path : {kCataloguePath, kDupIdPath, kJoinPath}) {
            s.http().Post(path, [this, path](const httplib::Request& req, httplib::Response& res) {
                server.record(req);
                std::lock_guard<std::mutex> lock(mutex_);
                const Answer& a = answers_[path];
                res.status = a.status;
                res.set_content(a.body, "application/json");
            });
        }
    }

    void TearDown() override {
        // Windows left through "나가기" wait for deferred deletion.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (const QPointer<TFMember>& member : opened_)
            delete member.data();
        AppFixture::TearDown();
    }

    // What the server answers on path from now on.
    void reply(const std::string& path, const std::string& body, int status = 200) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[path] = Answer{status, body};
    }

    TFMember* open() {
        auto* member = new TFMember;
        opened_.append(member);
        return member;
    }

    // Every entry as the save wants it, the ID checked as free and the second model chosen.
    void fillValid(TFMember* m, const QString& id = "newuser1") {
        UI(m, LabeledEdit4)->setText(id);
        m->Panel2Click();
        UI(m, LabeledEdit5)->setText("password1");
        UI(m, LabeledEdit6)->setText("password1");
        UI(m, LabeledEdit1)->setText("1990-03-30");
        UI(m, ComboBox2)->setCurrentIndex(1);
        UI(m, CheckBox1)->setChecked(true);
    }

    QStringList memberLog(TFMember* m) const { return logLines(UI(m, Memo1)); }

    std::vector<TestServer::Request> requestsTo(const std::string& path) const {
        std::vector<TestServer::Request> found;
        for (const TestServer::Request& r : server.requests()) {
            if (r.path == path)
                found.push_back(r);
        }
        return found;
    }

    // The form body's entries, decoded.
    static QStringList formLines(const std::string& body) {
        QStringList lines;
        for (const QByteArray& entry : QByteArray::fromStdString(body).split('&')) {
            QByteArray plain = entry;
            plain.replace('+', ' ');
            lines.append(QString::fromUtf8(QByteArray::fromPercentEncoding(plain)));
        }
        return lines;
    }

    QStringList comboItems(TFMember* m) const {
        QStringList items;
        for (int i = 0; i < UI(m, ComboBox2)->count(); ++i)
            items.append(UI(m, ComboBox2)->itemText(i));
        return items;
    }

  private:
    struct Answer {
        int status = 404;
        std::string body;
    };
    std::mutex mutex_;
    std::map<std::string, Answer> answers_;
    QList<QPointer<TFMember>> opened_;
};
