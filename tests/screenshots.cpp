// Renders every window to PNG files for review: drivoro-screenshots OUTPUT_FOLDER
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QTemporaryDir>

#include "account/tflogin.h"
#include "account/tfmember.h"
#include "app/tfmain.h"
#include "payments/tfpaymentlist.h"
#include "support/controls.h"
#include "support/fake_platform.h"
#include "support/test_server.h"
#include "ui_tflogin.h"
#include "ui_tfmain.h"
#ifndef _WIN32
#include "base/extra_authority.h"
#include "support/test_certificates.h"
#endif

namespace {

void save(QWidget* window, const QString& folder, const QString& name) {
    window->show();
    QApplication::processEvents();
    window->grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
    window->hide();
}

const char* kLogin =
    R"({"flag":"true","msg":"로그인 되었습니다","mInfo_NAME":"MORVEL","mInfo_CODE":"378","bInfo_modelName":"TESTCAM1",)"
    R"("bInfo_IDX":"7","payment_Sdate":"2025-01-05 10:00:00","payment_Edate":"2026-01-04 23:59:59",)"
    R"("sfd_filename":"rp_cam_2_5.idb","sfd_filepath":"/files/db/","sfd_version":"2.5","bInfo_scdown_directory":"root"})";

const char* kCatalogue =
    R"({"list":[{"bInfo_IDX":"7","bInfo_modelName":"TESTCAM1"},{"bInfo_IDX":"9","bInfo_modelName":"DRIVORO X2"}]})";

const char* kPayments =
    R"({"list":[{"regdate":"2025-01-05 10:00:00","paymethod":"CARD","amount":"33000"},)"
    R"({"regdate":"2024-01-03 09:12:45","paymethod":"BANK","amount":"33000"},)"
    R"({"regdate":"2023-01-02 18:40:10","paymethod":"VACCOUNT","amount":"30000"}]})";

#ifndef _WIN32
// A banner of the strip's size, as the service would serve one.
QByteArray servedBanner() {
    QImage image(566, 111, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 566, 0);
    gradient.setColorAt(0, QColor(0x12, 0x3B, 0x6E));
    gradient.setColorAt(1, QColor(0x1F, 0x8A, 0x9E));
    painter.fillRect(image.rect(), gradient);
    painter.setPen(Qt::white);
    QFont font(QStringLiteral("NanumGothic"));
    font.setPixelSize(30);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(image.rect().adjusted(24, 0, 0, -28), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Drivoro 안전운전 캠페인"));
    font.setPixelSize(17);
    font.setBold(false);
    painter.setFont(font);
    painter.drawText(image.rect().adjusted(26, 44, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("서비스에서 HTTPS로 받은 배너"));
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 90);
    return bytes;
}
#endif

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString folder =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(folder);

    FakePlatform fake;
    TestServer server;
    server.answer("/mobile/back_c/getLogin.json", kLogin);
    server.answer("/mobile/back_c/device_add_getproduct.search", kCatalogue);
    server.answer("/mobile/back_c/paylist.json", kPayments);
#ifdef _WIN32
    // The Windows build's test servers speak no TLS: the strip keeps its built-in picture.
    server.answer("/mgr/api/call_banner.api", R"({"data":[]})");
#else
    // The banner picture comes over TLS from the service's host, as from the real service; its
    // certificate is issued by an authority trusted beside the system's for this run only.
    const test_certificates::Authority authority("Drivoro screenshots authority");
    server.serveTls(authority.issue({"127.0.0.1"}));
    extra_authority::set(QByteArray::fromStdString(authority.certificatePem()));
    server.answer("/mgr/api/call_banner.api",
                  R"({"data":[{"img_path":"/upload/banner/campaign.jpg","link_path":"/"}]})");
    server.serveFile("/upload/banner/campaign.jpg", servedBanner().toStdString());
#endif
    server.start();
    ConfigOverride config(server.host());

    // A card in a temporary folder standing in for the SD card's drive.
    QTemporaryDir card;
    QFile cfg(card.path() + QStringLiteral("/backbbinfo.cfg"));
    if (cfg.open(QIODevice::WriteOnly)) {
        cfg.write(
            "515A32343030315445535443414D315F303034320000000000000000000000000000000000000000"
            "00000000000000000000000000000000000000000000000000323032343031303531"
            "2E300000000000\r\n0\r\nTESTCAM1\r\n1.0.3\r\n2.1.0\r\n");
        cfg.close();
    }
    fake.driveList = {
        platform::Drive{card.path() + QLatin1Char('/'), card.path() + QStringLiteral(" (SDCARD)")}};
    fake.currentRoot = card.path() + QLatin1Char('/');

    auto* mainWindow = new TFMain;
    auto* login = new TFLogin;
    UI(login, LabeledEdit1)->setText(QStringLiteral("demo0001"));
    UI(login, LabeledEdit2)->setText(QStringLiteral("drivoro1234"));
    save(login, folder, QStringLiteral("login"));

    new TFMember(login);
    save(FMember, folder, QStringLiteral("signup"));

    login->Panel5Click();
    QApplication::processEvents();
    save(mainWindow, folder, QStringLiteral("main"));

    new TFPaymentList(mainWindow);
    save(FPaymentList, folder, QStringLiteral("payments"));

    delete mainWindow;
    return 0;
}
