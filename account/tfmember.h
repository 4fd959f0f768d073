#pragma once

#include <QDialog>

// The sign-up window (placeholder until sign-up lands).
class TFMember : public QDialog {
    Q_OBJECT
  public:
    explicit TFMember(QWidget* parent = nullptr);
    ~TFMember() override;
};

extern TFMember* FMember;
