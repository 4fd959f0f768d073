// Answers of the sign-up window: placeholders until sign-up lands.
#include "app/tfmain.h"

bool TFMain::FduCkeck(const QString&) {
    return false;
}
bool TFMain::FMemSave(const QString&) {
    return false;
}
bool TFMain::FbbModelList(const QString&) {
    return false;
}
