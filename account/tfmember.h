#pragma once

#include <QDialog>
#include <memory>

struct CatalogueAnswer;

namespace Ui {
class TFMember;
}

// The sign-up window: collects an ID, a password, a birth date and a dashcam model, checks the
// ID with the service and registers the member. Shown modally over the login window.
class TFMember : public QDialog {
    Q_OBJECT

  public:
    // Sets FMember to the new window before the catalogue request of FormCreate runs.
    explicit TFMember(QWidget* parent = nullptr);
    ~TFMember() override;

    void FormCreate();
    void LabeledEdit4Exit();
    void LabeledEdit5Exit();
    void LabeledEdit1Exit();
    void Panel2Click();
    void Panel8Click();
    void Panel7Click();
    void Panel10Click();
    void Panel9Click();
    void Panel1Click();
    void Panel5Click();

    // Logs a line in this window's own log.
    void log(const QString& text);
    // Offers the catalogue's models in the model drop-down.
    void listModels(const CatalogueAnswer& catalogue);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool FIdCharCheck(const QString& Text);
    bool FPwCharCheck(const QString& Text);
    void showBox(const QString& text);

    std::unique_ptr<Ui::TFMember> ui;
};

extern TFMember* FMember;
