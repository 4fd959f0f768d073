#pragma once

#include <QDialog>
#include <memory>

class StringGrid;

namespace Ui {
class TFPaymentList;
}

// The member's payment history. Its creation fetches the list; the main window's
// FuPaymentList fills the grid through FPaymentList. A closed window releases itself.
class TFPaymentList : public QDialog {
    Q_OBJECT

  public:
    explicit TFPaymentList(QWidget* parent = nullptr);
    ~TFPaymentList() override;

    void FormCreate();
    void Panel1Click();
    void Panel3Click();
    void FormClose();

    // The history's grid, which FuPaymentList fills.
    StringGrid* grid() const;

  public slots:
    // Every way of closing (the exit panel, the title bar, Escape) passes here.
    void done(int result) override;

  private:
    std::unique_ptr<Ui::TFPaymentList> ui;
};

extern TFPaymentList* FPaymentList;
