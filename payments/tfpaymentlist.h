#pragma once

#include <QDialog>

// The payment history window (placeholder until it lands).
class TFPaymentList : public QDialog {
    Q_OBJECT
  public:
    explicit TFPaymentList(QWidget* parent = nullptr);
    ~TFPaymentList() override;
};

extern TFPaymentList* FPaymentList;
