// Windows on short screens: the main window opens within the available height with only the
// log shorter, or scrolls where even that does not fit; the dialogs stay on the screen. Runs on
// the offscreen platform with the screens of support/short_screens.json and frame margins.
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QScrollArea>

#include "account/tfmember.h"
#include "app/widgets.h"
#include "payments/tfpaymentlist.h"
#include "support/app_fixture.h"

namespace {

class WindowFit : public AppFixture {
  protected:
    void SetUp() override {
        if (!qEnvironmentVariable("QT_QPA_PLATFORM").contains(QLatin1String("short_screens")))
            GTEST_SKIP() << "needs the offscreen screens of support/short_screens.json";
        AppFixture::SetUp();
    }
    QScreen* screenNamed(const QString& name) {
        for (QScreen* s : QGuiApplication::screens()) {
            if (s->name() == name)
                return s;
        }
        return nullptr;
    }
    // Each row of the main window and its height as laid out at the design size.
    std::vector<std::pair<QWidget*, int>> rowsAtDesignSize() {
        window->resize(566, 780);
        window->layout()->activate();
        std::vector<std::pair<QWidget*, int>> rows;
        for (int i = 0; i < window->layout()->count(); ++i) {
            if (QWidget* row = window->layout()->itemAt(i)->widget())
                rows.emplace_back(row, row->height());
        }
        return rows;
    }
    void expectInside(QWidget* w, const QScreen* screen, const char* what) {
        w->show();
        QCoreApplication::processEvents();
        const QRect outer = w->frameGeometry();
        EXPECT_TRUE(screen->availableGeometry().contains(outer))
            << what << " " << outer.x() << "," << outer.y() << " " << outer.width() << "x"
            << outer.height();
        EXPECT_GT(outer.height(), w->height()) << what << ": the frame counts";
    }
};

TEST_F(WindowFit, MainWindowKeepsEveryRowButTheLog) {
    struct Case {
        const char* screen;
        bool scrolls;
    };
    for (const Case& c :
         {Case{"desktop", false}, Case{"a little taller", false}, Case{"laptop at 150 %", true}}) {
        window = std::make_unique<TFMain>();
        QScreen* screen = screenNamed(QString::fromUtf8(c.screen));
        ASSERT_TRUE(screen) << c.screen;
        window->move(screen->geometry().topLeft());
        window->setScreen(screen);
        const auto rows = rowsAtDesignSize();
        ASSERT_GE(rows.size(), 7u);
        QWidget* log = UI(window, Memo1);
        const int threeLines = log->fontMetrics().lineSpacing() * 3;

        window_fit::fitToScreen(window.get());
        expectInside(window.get(), screen, c.screen);
        const auto* scroll = window->findChild<QScrollArea*>(QStringLiteral("contentScroll"));
        EXPECT_EQ(scroll != nullptr, c.scrolls) << c.screen;
        for (const auto& [row, height] : rows) {
            if (row == log)
                continue;
            EXPECT_EQ(row->height(), height) << c.screen << " " << row->objectName().toStdString();
        }
        EXPECT_GE(log->height(), threeLines) << c.screen;
        if (std::string(c.screen) == "desktop") {
            EXPECT_EQ(window->height(), 780);
        } else {
            EXPECT_LT(window->height(), 780) << c.screen;
        }
        window->hide();
    }
}

TEST_F(WindowFit, DialogsStayOnTheScreen) {
    QScreen* laptop = screenNamed(QStringLiteral("laptop at 150 %"));
    ASSERT_TRUE(laptop);
    window->move(laptop->geometry().topLeft());
    window->setScreen(laptop);
    auto* member = new TFMember(window.get());
    expectInside(member, laptop, "sign-up");
    delete member;
    auto* payments = new TFPaymentList(window.get());
    expectInside(payments, laptop, "payments");
    payments->close();
}

}  // namespace
