#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class TFLogin;
}

// The login gate: accepted (OK) only after the service accepted a login.
class TFLogin : public QDialog {
    Q_OBJECT

  public:
    explicit TFLogin(QWidget* parent = nullptr);
    ~TFLogin() override;

    void FormCreate();
    void Panel5Click();
    void Panel6Click();
    void Panel7Click();
    void Panel2Click();
    void Image2Click();

  public slots:
    // Every way of closing ends here; the window then releases itself (FormClose).
    void done(int result) override;

  private:
    std::unique_ptr<Ui::TFLogin> ui;
};

extern TFLogin* FLogin;
