#pragma once

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QElapsedTimer>

#include "app/tfmain.h"

// The main window's private state, for tests that set up or check it.
struct TFMainTestAccess {
    explicit TFMainTestAccess(TFMain& w)
        : bDrCheck(w.bDrCheck),
          sTitle(w.sTitle),
          sExeDir(w.sExeDir),
          bannerlink(w.bannerlink),
          cfgData(w.cfgData),
          UserInfo(w.UserInfo),
          upCode(w.upCode),
          bb(w.bb),
          ImageList1(w.ImageList1),
          cardStall(w.cardStall_),
          cards(*w.cards_) {}

    bool& bDrCheck;
    QString& sTitle;
    QString& sExeDir;
    QString& bannerlink;
    TcfgData& cfgData;
    TUserInfo& UserInfo;
    qint32& upCode;
    TbbData& bb;
    QList<QPixmap>& ImageList1;
    // How long a card call may take before the driver is told; how long the window waits for
    // one before going on.
    std::chrono::milliseconds& cardStall;
    card::CardAccess& cards;
};

// Lets a database download that runs in the background come to its end.
inline void waitForDownload(const TFMain& window) {
    QElapsedTimer waited;
    waited.start();
    while (window.isDownloading() && waited.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_FALSE(window.isDownloading());
}

inline TFMainTestAccess state(TFMain& window) {
    return TFMainTestAccess(window);
}
// A pointer or smart pointer to the window.
template <typename Pointer>
TFMainTestAccess state(Pointer& window) {
    return TFMainTestAccess(*window);
}
