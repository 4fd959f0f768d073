// Card reading and the database download: placeholders until they land.
#include "app/tfmain.h"

void TFMain::FbbRead(const QString&) {}
void TFMain::FbbSave(const QString&) {}
QString TFMain::FGetIP() {
    return QString();
}
bool TFMain::getData2(const QString&) {
    return false;
}
bool TFMain::FDbDownload(const QString&) {
    return false;
}
void TFMain::DriveComboBox1Change() {}
void TFMain::DriveComboBox1Enter() {
    bDrCheck = true;
}
void TFMain::Image2Click() {}
void TFMain::Timer1Timer() {}
void TFMain::fillDriveList() {}
