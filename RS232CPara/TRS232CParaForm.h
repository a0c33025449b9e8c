#pragma once

#include <QDialog>
#include <functional>
#include <optional>
#include <string>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace vennick {

class FramePlacer;
class Notifier;
struct Settings;

// What the settings dialog needs from outside; tests replace the boxes and the folder chooser.
struct ParaFormServices {
    Notifier& notifier;
    Settings& settings;                     // the main window's record
    std::function<bool()> closeMainWindow;  // true when the main window closed
    // The folder browser, opened at `start`; a dialog if unset.
    std::function<std::optional<std::string>(QWidget* owner, const QString& start)> chooseFolder{};
};

// Where the folder browser opens: the top of the folder tree, the desktop (or the home folder
// where there is none).
QString folderTreeTop();

// The settings dialog: port parameters and the log directory. Applying ends the program.
//
// Names: the dialog (TRS232CParaForm), its controls (ComboBauRate, EditLogFilePath, Button1, ...
// as objectNames) and its handlers (Button1Click, bGetPathClick, FormCloseQuery, ...) keep the
// names the program has always used, control and event joined; the tests find them by these
// names. Everything else is named in the code's own camelCase.
class TRS232CParaForm : public QDialog {
    Q_OBJECT

public:
    explicit TRS232CParaForm(ParaFormServices services, QWidget* parent = nullptr);

    bool saved() const { return saved_; }
    bool changed() const { return changed_; }

public slots:
    void bGetPathClick();
    void Button1Click();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QComboBox* addCombo(const char* name, const QString& label, const QString& initialText,
                        int top);
    void FormShow();
    bool FormCloseQuery();
    void fillAndSelect();

    ParaFormServices services_;
    bool saved_ = false;
    bool changed_ = false;
    FramePlacer* placer_ = nullptr;
    QLineEdit* editLogFilePath_ = nullptr;
    QPushButton* bGetPath_ = nullptr;
    QPushButton* button1_ = nullptr;
    QComboBox* comboComName_ = nullptr;
    QComboBox* comboBauRate_ = nullptr;
    QComboBox* comboBiteSize_ = nullptr;
    QComboBox* comboParity_ = nullptr;
    QComboBox* comboStopBits_ = nullptr;
};

}  // namespace vennick
