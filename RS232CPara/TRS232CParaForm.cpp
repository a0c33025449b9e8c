#include "RS232CPara/TRS232CParaForm.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>

#include "RS232CFunc/ui/frame_placement.h"
#include "RS232CFunc/port/port_tables.h"
#include "RS232CPara/type_ahead.h"
#include "settings/notifier.h"
#include "settings/settings.h"

namespace vennick {
namespace {

constexpr int kClientWidth = 311;
constexpr int kClientHeight = 284;

QFont pixelFont(const QFont& base, int pixels, bool bold = false) {
    QFont font(base);
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

template <std::size_t N>
void fill(QComboBox* combo, const std::array<std::string, N>& entries, std::int32_t index) {
    const QString text = combo->currentText();
    combo->clear();
    for (const std::string& entry : entries) combo->addItem(QString::fromStdString(entry));
    if (index >= 0 && index < combo->count()) {
        combo->setCurrentIndex(static_cast<int>(index));
        return;
    }
    combo->setCurrentIndex(-1);
    // -1 (a typed text that matched nothing) keeps the box's text; other values show nothing.
    combo->setEditText(index == -1 ? text : QString());
}

std::optional<std::string> chooseFolderWithDialog(QWidget* owner, const QString& start) {
    const QString folder = QFileDialog::getExistingDirectory(
        owner, QStringLiteral("Select Directory"), start, QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) return std::nullopt;
    return QDir::toNativeSeparators(folder).toStdString();
}

}  // namespace

QString folderTreeTop() {
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return !desktop.isEmpty() && QDir(desktop).exists() ? desktop : QDir::homePath();
}

TRS232CParaForm::TRS232CParaForm(ParaFormServices services, QWidget* parent)
    : QDialog(parent), services_(std::move(services)) {
    if (!services_.chooseFolder) services_.chooseFolder = chooseFolderWithDialog;
    setObjectName(QStringLiteral("RS232CParaForm"));
    setWindowTitle(QStringLiteral("RS232Cﾊﾟﾗﾒｰﾀ設定"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    QFont base(QStringLiteral("ＭＳ Ｐゴシック"));
    setFont(pixelFont(base, 12));
    setFixedSize(kClientWidth, kClientHeight);
    placer_ = new FramePlacer(*this);

    auto* labelLogPath = new QLabel(QStringLiteral("ﾛｸﾞﾌｧｲﾙの格納場所"), this);
    labelLogPath->setObjectName(QStringLiteral("LabelLogPath"));
    labelLogPath->setGeometry(4, 14, 150, 16);

    bGetPath_ = new QPushButton(QStringLiteral("参照"), this);
    bGetPath_->setObjectName(QStringLiteral("bGetPath"));
    bGetPath_->setGeometry(160, 8, 34, 25);
    bGetPath_->setAutoDefault(false);  // Enter presses no button of this dialog
    connect(bGetPath_, &QPushButton::clicked, this, &TRS232CParaForm::bGetPathClick);

    editLogFilePath_ = new QLineEdit(this);
    editLogFilePath_->setObjectName(QStringLiteral("EditLogFilePath"));
    editLogFilePath_->setGeometry(4, 36, 304, 21);

    auto* label10 = new QLabel(QStringLiteral("ﾎﾟｰﾄ設定"), this);
    label10->setObjectName(QStringLiteral("Label10"));
    label10->setFont(pixelFont(font(), 15));
    label10->setGeometry(4, 68, 150, 20);

    comboComName_ =
        addCombo("ComboComName", QStringLiteral("COM ﾎﾟｰﾄ"), QStringLiteral("COM1"), 94);
    comboBauRate_ =
        addCombo("ComboBauRate", QStringLiteral("ﾋﾞｯﾄﾚｰﾄ/秒"), QStringLiteral("9600"), 122);
    comboBiteSize_ =
        addCombo("ComboBiteSize", QStringLiteral("ﾃﾞｰﾀﾋﾞｯﾄ"), QStringLiteral("8"), 150);
    comboParity_ =
        addCombo("ComboParity", QStringLiteral("ﾊﾟﾘﾃｨﾁｪｯｸ"), QStringLiteral("NOPARITY"), 178);
    comboStopBits_ =
        addCombo("ComboStopBits", QStringLiteral("ｽﾄｯﾌﾟﾋﾞｯﾄ"), QStringLiteral("1"), 206);

    button1_ = new QPushButton(QStringLiteral("設定変更"), this);
    button1_->setObjectName(QStringLiteral("Button1"));
    button1_->setFont(pixelFont(font(), 16, true));
    button1_->setGeometry((kClientWidth - 97) / 2, 242, 97, 33);
    button1_->setAutoDefault(false);
    connect(button1_, &QPushButton::clicked, this, &TRS232CParaForm::Button1Click);

    // Only the apply button takes the tab key; everything else is reached by the mouse.
    for (QWidget* widget : findChildren<QWidget*>()) {
        if (widget != button1_) {
            widget->setFocusPolicy(
                static_cast<Qt::FocusPolicy>(widget->focusPolicy() & ~Qt::TabFocus));
        }
    }
}

QComboBox* TRS232CParaForm::addCombo(const char* name, const QString& label,
                                     const QString& initialText, int top) {
    auto* caption = new QLabel(label, this);
    caption->setGeometry(40, top + 3, 100, 16);
    auto* combo = new QComboBox(this);
    combo->setObjectName(QString::fromLatin1(name));
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setCompleter(nullptr);  // type-ahead is ours: the stock completer moves the index late
    combo->setGeometry(150, top, 80, 22);
    combo->setEditText(initialText);
    connect(new TypeAhead(*combo), &TypeAhead::selectionChanged, this, [this] { changed_ = true; });
    connect(combo, &QComboBox::activated, this, [this] { changed_ = true; });  // a pick
    return combo;
}

void TRS232CParaForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    placer_->place(&centredPosition, FramePlacer::Within::Screen);
    FormShow();
}

void TRS232CParaForm::FormShow() {
    saved_ = false;
    changed_ = false;
    fillAndSelect();
}

void TRS232CParaForm::fillAndSelect() {
    const Settings& settings = services_.settings;
    fill(comboComName_, comPortEntries(), settings.comIndex);
    fill(comboBauRate_, bitRateEntries(), settings.bitRateIndex);
    fill(comboBiteSize_, dataBitsEntries(), settings.dataBitsIndex);
    fill(comboParity_, parityEntries(), settings.parityIndex);
    fill(comboStopBits_, stopBitsEntries(), settings.stopBitsIndex);
    editLogFilePath_->setText(QString::fromStdString(settings.logDirectory));
}

void TRS232CParaForm::bGetPathClick() {
    const std::optional<std::string> folder = services_.chooseFolder(this, folderTreeTop());
    if (!folder) return;
    editLogFilePath_->setText(QString::fromStdString(*folder));
    changed_ = true;
}

void TRS232CParaForm::Button1Click() {
    Notifier& notifier = services_.notifier;
    if (!notifier.confirm("ﾊﾟﾗﾒｰﾀを書き換えてもいいですか?")) return;
    Settings& settings = services_.settings;
    settings.comIndex = comboComName_->currentIndex();
    settings.bitRateIndex = comboBauRate_->currentIndex();
    settings.dataBitsIndex = comboBiteSize_->currentIndex();
    settings.parityIndex = comboParity_->currentIndex();
    settings.stopBitsIndex = comboStopBits_->currentIndex();
    settings.logDirectory = editLogFilePath_->text().toStdString();
    saved_ = true;
    notifier.inform("ﾊﾟﾗﾒｰﾀを書き換えました。\n反映するにはｱﾌﾟﾘｹｰｼｮﾝの再起動が必要です。");
    notifier.inform("ｱﾌﾟﾘｹｰｼｮﾝを終了します。");
    // A failed save keeps the main window, and so this dialog, open.
    if (services_.closeMainWindow && services_.closeMainWindow()) done(QDialog::Rejected);
}

void TRS232CParaForm::closeEvent(QCloseEvent* event) {
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    event->accept();
    done(QDialog::Rejected);
}

bool TRS232CParaForm::FormCloseQuery() {
    if (saved_ || !changed_) return true;
    return services_.notifier.confirm("設定変更を押さないと書き換えは行いませんがいいですか?");
}

void TRS232CParaForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) return;  // no cancel: only the close box leaves
    QDialog::keyPressEvent(event);
}

}  // namespace vennick
