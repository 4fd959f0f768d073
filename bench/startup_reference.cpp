// The floor under the program's start-up: only what any program that shows this login window
// must do. Qt starts, the fonts are found, a hidden main window of the program's size exists,
// one POST goes to the service through libcurl, and a login dialog of the same size with the
// same Hangul captions and one JPEG is shown. bench/startup times it beside the program.
#include <curl/curl.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

size_t keep(char* data, size_t size, size_t count, void* answer) {
    static_cast<QByteArray*>(answer)->append(data, static_cast<qsizetype>(size * count));
    return size * count;
}

// One form POST, as the program's banner request; the answer is read and dropped.
void postBannerRequest(const char* url) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr)
        return;
    QByteArray answer;
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "bidx=4");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, keep);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_perform(curl);
    curl_easy_cleanup(curl);
}

}  // namespace

int main(int argc, char* argv[]) {
    const char* url = argc > 1 ? argv[1] : "http://127.0.0.1:18480/mgr/api/call_banner.api";
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QApplication app(argc, argv);
    const QString font = QStringLiteral("QWidget { font-family: Tahoma; font-size: 16px; }");

    QWidget mainWindow;
    mainWindow.setWindowTitle(QStringLiteral("MORVEL Drivoro 업데이트 매니저 V1.4"));
    mainWindow.setStyleSheet(font);
    mainWindow.resize(566, 780);
    postBannerRequest(url);

    QDialog login;
    login.setWindowTitle(QStringLiteral("  로그인"));
    login.setStyleSheet(font);
    login.setFixedSize(331, 374);
    auto* layout = new QVBoxLayout(&login);
    auto* title = new QLabel;
    title->setPixmap(QPixmap(QStringLiteral(":/login_title.jpg")));
    layout->addWidget(title);
    layout->addWidget(new QLabel(QStringLiteral("아  이  디")));
    layout->addWidget(new QLineEdit);
    layout->addWidget(new QLabel(QStringLiteral("패스 워드")));
    layout->addWidget(new QLineEdit);
    layout->addWidget(new QCheckBox(QStringLiteral("아이디 저장")));
    for (const char* caption : {"로그인", "종 료", "회원가입", "사용자 메뉴얼"})
        layout->addWidget(new QPushButton(QString::fromUtf8(caption)));
    layout->addWidget(new QLabel(QStringLiteral("127.0.0.1 홈페이지  바로 가기")));
    login.show();
    return app.exec();
}
