#include "account/tfmember.h"

TFMember* FMember = nullptr;

TFMember::TFMember(QWidget* parent) : QDialog(parent) {
    FMember = this;
    setWindowTitle(QStringLiteral("회원가입"));
    resize(613, 590);
}

TFMember::~TFMember() {
    if (FMember == this)
        FMember = nullptr;
}
