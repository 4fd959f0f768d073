#pragma once

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
          DownProgress(w.DownProgress),
          Timer1(w.Timer1),
          ImageList1(w.ImageList1) {}

    bool& bDrCheck;
    QString& sTitle;
    QString& sExeDir;
    QString& bannerlink;
    TcfgData& cfgData;
    TUserInfo& UserInfo;
    qint32& upCode;
    TbbData& bb;
    qint32& DownProgress;
    QTimer*& Timer1;
    QList<QPixmap>& ImageList1;
};

inline TFMainTestAccess state(TFMain& window) {
    return TFMainTestAccess(window);
}
// A pointer or smart pointer to the window.
template <typename Pointer>
TFMainTestAccess state(Pointer& window) {
    return TFMainTestAccess(*window);
}
