// The "Advanced options" dialog: the files table, the addressing options and their
// exchange with the fields the main window reads back.
#include "ui/advanced_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QTreeWidget>

#include <algorithm>
#include <string>
#include <vector>

#include "image/files_list_io.h"
#include "ui/advanced_core.h"
#include "ui/dialog_units.h"
#include "ui/screen_fit.h"
#include "ui/send_plan.h"
#include "ui/window_focus.h"

namespace vantor::ui {
namespace {

constexpr int kNameColumn = 0;
constexpr int kPathColumn = 1;
constexpr int kBytesRole = Qt::UserRole;

// The details in parentheses are hidden in the file dialog, which then shows
// "Orrim Files (*.orb) " and "All Files ".
const char kImageFilters[] = "Orrim Files (*.orb) (*.orb);;All Files (*)";

void SetFlag(QCheckBox* box, int flag) {
    box->setTristate(flag == 2);
    box->setCheckState(flag == 2 ? Qt::PartiallyChecked
                                 : (flag == 1 ? Qt::Checked : Qt::Unchecked));
}

int GetFlag(const QCheckBox* box) {
    switch (box->checkState()) {
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            return 2;
        default:
            return 0;
    }
}

// Message boxes without a caption of their own show the program file's name.
QString ApplicationName() {
    const QString program = QCoreApplication::applicationFilePath();
    if (program.isEmpty()) {
        return QCoreApplication::applicationName();
    }
    return QFileInfo(program).completeBaseName();
}

// Shows the real file dialog and message boxes.
class RealPrompts final : public AdvancedDialogPrompts {
  public:
    QString ChooseImageFile(QWidget* parent, const QString& title,
                            const QString& filters) override {
        const QString chosen = QFileDialog::getOpenFileName(
            parent, title, QString(), filters, nullptr, QFileDialog::HideNameFilterDetails);
        GiveFocusBack(parent);
        return chosen;
    }
    void Inform(QWidget* parent, const QString& text, const QString& caption,
                bool information_icon) override {
        QMessageBox box(information_icon ? QMessageBox::Information : QMessageBox::NoIcon, caption,
                        text, QMessageBox::Ok, parent);
        box.exec();
        GiveFocusBack(parent);
    }
    void InformWithDetail(QWidget* parent, const QString& text, const QString& detail,
                          const QString& caption, bool information_icon) override {
        QMessageBox box(information_icon ? QMessageBox::Information : QMessageBox::NoIcon, caption,
                        text, QMessageBox::Ok, parent);
        box.setTextFormat(Qt::PlainText);
        box.setInformativeText(detail);
        box.exec();
        GiveFocusBack(parent);
    }
    bool AskYesNoDefaultNo(QWidget* parent, const QString& text, const QString& caption) override {
        QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Yes | QMessageBox::No,
                        parent);
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        const bool yes = box.exec() == QMessageBox::Yes;
        GiveFocusBack(parent);
        return yes;
    }
    bool AskYesNo(QWidget* parent, const QString& text, const QString& caption,
                  bool stop_icon) override {
        QMessageBox box(stop_icon ? QMessageBox::Critical : QMessageBox::Question, caption, text,
                        QMessageBox::Yes | QMessageBox::No, parent);
        box.setDefaultButton(QMessageBox::Yes);
        const bool yes = box.exec() == QMessageBox::Yes;
        GiveFocusBack(parent);
        return yes;
    }
};

QString FromBytes(const std::string& bytes);

// Which line of which list a refused line is, as written, and the rule it breaks.
QString BadLineDetail(const QString& list_path, const RefusedLine& bad) {
    return FromBytes(ui::BadLineDetail(QFile::encodeName(list_path).toStdString(), bad));
}

std::string ToBytes(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

QString FromBytes(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

}  // namespace

struct AdvancedDialog::Private {
    AdvancedDialog* dialog = nullptr;
    RealPrompts real_prompts;
    AdvancedDialogPrompts* prompts = nullptr;
    bool initialized = false;

    QPushButton* ok_button = nullptr;
    QPushButton* cancel_button = nullptr;
    QPushButton* add_button = nullptr;
    QPushButton* delete_button = nullptr;
    QTreeWidget* files_table = nullptr;
    QCheckBox* skip_seeking_box = nullptr;
    QCheckBox* reset_box = nullptr;
    QCheckBox* specific_address_box = nullptr;
    QComboBox* address_combo = nullptr;
    // The lines of the files list that the loader refused: a save would drop them.
    std::vector<RefusedLine> bad_lines;

    void BuildControls();
    void SetUpFilesTable(const DialogUnits& units);
    void SetUpAddressCombo(const DialogUnits& units);
    void OnInitDialog();
    void ExchangeIntoControls();
    void TakeOptionsOver();
    void LoadFilesList();
    bool MayDropBadLines();
    void AddRow(const std::string& name, const std::string& path);
    std::vector<FilesListEntry> Rows() const;
    void OnAdd();
    void OnDelete();
    void OnUseSpecificAddress();
    void OnOK();
    bool SaveOrAskToLeave();
};

void AdvancedDialog::Private::BuildControls() {
    const QFont font = DialogFont();
    dialog->setFont(font);
    const DialogUnits units(font);
    dialog->setWindowTitle(QString::fromLatin1(kAdvancedTitle));
    dialog->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint);
    dialog->setFixedSize(units.X(296), units.Y(135));

    // Created in the template's tab order, which Qt's focus chain follows.
    const auto button = [&](const char* text, const char* name, QRect rect) {
        auto* b = new QPushButton(QString::fromLatin1(text), dialog);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(rect);
        return b;
    };
    ok_button = button("OK", "OkButton", units.Rect(241, 20, 50, 14));
    ok_button->setDefault(true);
    cancel_button = button("Cancel", "CancelButton", units.Rect(241, 36, 50, 14));
    add_button = button("&Add", "AddButton", units.Rect(241, 80, 50, 14));
    delete_button = button("&Delete", "DeleteButton", units.Rect(241, 97, 50, 14));
    SetUpFilesTable(units);
    auto* label = new QLabel(QStringLiteral("Files to download:"), dialog);
    label->setGeometry(units.Rect(4, 7, 58, 11));
    const auto check_box = [&](const char* text, const char* name, QRect rect) {
        auto* box = new QCheckBox(QString::fromLatin1(text), dialog);
        box->setObjectName(QString::fromLatin1(name));
        box->setGeometry(rect);
        return box;
    };
    skip_seeking_box =
        check_box("Skip drives seeking", "SkipSeekingBox", units.Rect(148, 121, 77, 9));
    reset_box = check_box("Execute reset after downloading", "ResetAfterDownloadBox",
                          units.Rect(172, 121, 119, 9));
    // The reset option is kept but never offered to the operator.
    reset_box->hide();
    specific_address_box =
        check_box("Use the specific address:", "UseSpecificAddressBox", units.Rect(4, 119, 92, 11));
    SetUpAddressCombo(units);

    QObject::connect(ok_button, &QPushButton::clicked, dialog, &AdvancedDialog::accept);
    QObject::connect(cancel_button, &QPushButton::clicked, dialog, &AdvancedDialog::reject);
    QObject::connect(add_button, &QPushButton::clicked, dialog, [this] { OnAdd(); });
    QObject::connect(delete_button, &QPushButton::clicked, dialog, [this] { OnDelete(); });
    // A flag of 2 shows as the third state; the first click leaves it for good, as the
    // boxes only toggle between checked and clear.
    for (QCheckBox* box : {skip_seeking_box, reset_box, specific_address_box}) {
        QObject::connect(box, &QCheckBox::clicked, dialog, [box] { box->setTristate(false); });
    }
    QObject::connect(specific_address_box, &QCheckBox::clicked, dialog,
                     [this] { OnUseSpecificAddress(); });
}

void AdvancedDialog::Private::SetUpFilesTable(const DialogUnits& units) {
    files_table = new QTreeWidget(dialog);
    files_table->setObjectName(QStringLiteral("FilesTable"));
    files_table->setGeometry(units.Rect(4, 20, 232, 91));
    files_table->setRootIsDecorated(false);
    files_table->setItemsExpandable(false);
    files_table->setUniformRowHeights(true);
    files_table->setWordWrap(false);
    files_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    files_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    files_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The table keeps its own order; clicking a header must not re-sort it.
    files_table->setSortingEnabled(false);
    files_table->header()->setSectionsClickable(false);
    files_table->header()->setSectionsMovable(false);
    files_table->header()->setStretchLastSection(false);
    files_table->setColumnCount(0);
}

void AdvancedDialog::Private::SetUpAddressCombo(const DialogUnits& units) {
    address_combo = new QComboBox(dialog);
    address_combo->setObjectName(QStringLiteral("AddressCombo"));
    address_combo->setEditable(false);
    const QRect closed = units.Rect(95, 118, 30, 67);
    address_combo->setGeometry(closed.x(), closed.y(), closed.width(),
                               address_combo->sizeHint().height());
    // The template's height is that of the dropped-down list.
    const int row_px = QFontMetrics(dialog->font()).height();
    address_combo->setMaxVisibleItems(
        std::max(1, (closed.height() - address_combo->height()) / std::max(1, row_px)));
    address_combo->view()->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void AdvancedDialog::Private::OnInitDialog() {
    initialized = true;
    ExchangeIntoControls();
    files_table->setHeaderLabels({QStringLiteral("File Name"), QStringLiteral("File Path")});
    const int half_px = files_table->contentsRect().width() / 2;
    files_table->setColumnWidth(kNameColumn, half_px);
    files_table->setColumnWidth(kPathColumn, half_px);
    LoadFilesList();
    for (int address = 0; address < 10; ++address) {
        address_combo->addItem(QString::number(address));
    }
    for (char letter = 'A'; letter <= 'V'; ++letter) {
        address_combo->addItem(QString(QLatin1Char(letter)));
    }
    const int address = dialog->SpecificAddress;
    address_combo->setCurrentIndex((address >= 0 && address < kAddressCount) ? address : -1);
    address_combo->setEnabled(dialog->UseSpecificAddress != 0);
    ok_button->setFocus();
}

void AdvancedDialog::Private::ExchangeIntoControls() {
    dialog->SkipSeeking = ClampFlag(dialog->SkipSeeking);
    dialog->ResetAfterDownload = ClampFlag(dialog->ResetAfterDownload);
    dialog->UseSpecificAddress = ClampFlag(dialog->UseSpecificAddress);
    SetFlag(skip_seeking_box, dialog->SkipSeeking);
    SetFlag(reset_box, dialog->ResetAfterDownload);
    SetFlag(specific_address_box, dialog->UseSpecificAddress);
}

void AdvancedDialog::Private::TakeOptionsOver() {
    dialog->SkipSeeking = GetFlag(skip_seeking_box);
    dialog->ResetAfterDownload = GetFlag(reset_box);
    dialog->UseSpecificAddress = GetFlag(specific_address_box);
    dialog->SpecificAddress = address_combo->currentIndex();
}

void AdvancedDialog::Private::LoadFilesList() {
    files_table->clear();
    const LoadedFilesList loaded = LoadDialogFilesList(ToBytes(dialog->FilesListPath));
    for (const FilesListEntry& entry : loaded.entries) {
        AddRow(entry.Name, entry.Path);
    }
    // The file is closed by now, so a box left open does not keep a job from the list. Each
    // box names its line, so that the operator can find and mend it, unless the file changed
    // between the two reads.
    bad_lines = RefusedLines(ToBytes(dialog->FilesListPath));
    const bool named = static_cast<int>(bad_lines.size()) == loaded.bad_lines;
    for (int i = 0; i < loaded.bad_lines; ++i) {
        if (named) {
            prompts->InformWithDetail(dialog, QString::fromLatin1(kInvalidLineText),
                                      BadLineDetail(dialog->FilesListPath, bad_lines[i]),
                                      QString::fromLatin1(kInvalidLineCaption), true);
        } else {
            prompts->Inform(dialog, QString::fromLatin1(kInvalidLineText),
                            QString::fromLatin1(kInvalidLineCaption), true);
        }
    }
    if (!named) {
        bad_lines.assign(static_cast<std::size_t>(loaded.bad_lines), RefusedLine{});
    }
}

void AdvancedDialog::Private::AddRow(const std::string& name, const std::string& path) {
    auto* item = new QTreeWidgetItem({FromBytes(name), FromBytes(path)});
    item->setData(kNameColumn, kBytesRole, QByteArray::fromStdString(name));
    item->setData(kPathColumn, kBytesRole, QByteArray::fromStdString(path));
    int row = files_table->topLevelItemCount();
    while (row > 0 && NameBefore(name, files_table->topLevelItem(row - 1)
                                           ->data(kNameColumn, kBytesRole)
                                           .toByteArray()
                                           .toStdString())) {
        --row;
    }
    files_table->insertTopLevelItem(row, item);
}

std::vector<FilesListEntry> AdvancedDialog::Private::Rows() const {
    std::vector<FilesListEntry> rows;
    for (int row = 0; row < files_table->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* item = files_table->topLevelItem(row);
        rows.push_back({item->data(kNameColumn, kBytesRole).toByteArray().toStdString(),
                        item->data(kPathColumn, kBytesRole).toByteArray().toStdString()});
    }
    return rows;
}

void AdvancedDialog::Private::OnAdd() {
    const QString chosen = prompts->ChooseImageFile(dialog, QString::fromLatin1(kBrowseTitle),
                                                    QString::fromLatin1(kImageFilters));
    if (chosen.isEmpty()) {
        return;
    }
    const std::string path = ToBytes(chosen);
    const std::string name = path.substr(path.rfind('/') + 1);
    for (const FilesListEntry& row : Rows()) {
        if (row.Name == name) {
            prompts->Inform(dialog, QString::fromLatin1(kDuplicateText), ApplicationName(), false);
            return;
        }
    }
    if (const char* problem = LineProblem(name, path); problem != nullptr) {
        prompts->Inform(dialog, QString::fromLatin1(problem), ApplicationName(), false);
        return;
    }
    AddRow(name, path);
}

void AdvancedDialog::Private::OnDelete() {
    const QList<QTreeWidgetItem*> selected = files_table->selectedItems();
    if (selected.isEmpty()) {
        prompts->Inform(dialog, QString::fromLatin1(kNothingSelectedText), ApplicationName(),
                        false);
        return;
    }
    qDeleteAll(selected);
}

void AdvancedDialog::Private::OnUseSpecificAddress() {
    address_combo->setEnabled(specific_address_box->checkState() != Qt::Unchecked);
}

void AdvancedDialog::Private::OnOK() {
    if (files_table->topLevelItemCount() == 0 &&
        !prompts->AskYesNo(dialog, QString::fromLatin1(kNoFilesText),
                           QString::fromLatin1(kNoFilesCaption), false)) {
        return;
    }
    if (!MayDropBadLines() || !SaveOrAskToLeave()) {
        return;
    }
    TakeOptionsOver();
    dialog->QDialog::accept();
}

// The table holds only the lines that could be read: a save drops the others. True when there
// are none, or when the operator says that they may go; otherwise the dialog stays open.
bool AdvancedDialog::Private::MayDropBadLines() {
    if (bad_lines.empty()) {
        return true;
    }
    const QString text = FromBytes(DropBadLinesQuestion(ToBytes(dialog->FilesListPath), bad_lines));
    const bool drop =
        prompts->AskYesNoDefaultNo(dialog, text, QString::fromLatin1(kInvalidLineCaption));
    if (drop) {
        bad_lines.clear();
    }
    return drop;
}

// True when the list was saved, or when it could not be and the operator chose to leave
// anyway; the old list is then as it was.
bool AdvancedDialog::Private::SaveOrAskToLeave() {
    const std::string path = ToBytes(dialog->FilesListPath);
    const auto not_saved = SaveDialogFilesList(path, Rows());
    if (!not_saved) {
        return true;
    }
    const QString text = QString::fromLocal8Bit(
        CannotWriteQuestion(FileErrorReason(not_saved->error_number, not_saved->path)));
    return prompts->AskYesNo(dialog, text, QString::fromLatin1(kCannotWriteCaption), true);
}

AdvancedDialog::AdvancedDialog(QWidget* parent, AdvancedDialogPrompts* prompts)
    : QDialog(parent), d_(new Private) {
    d_->dialog = this;
    d_->prompts = prompts != nullptr ? prompts : &d_->real_prompts;
    d_->BuildControls();
    FitInto(this, RoomOnScreen(this));
}

AdvancedDialog::~AdvancedDialog() {
    delete d_;
}

int AdvancedDialog::exec() {
    // Placed first, so that a box about the files list opens over the dialog.
    PlaceOverParent(this);
    if (!d_->initialized) {
        d_->OnInitDialog();
    }
    return QDialog::exec();
}

void AdvancedDialog::accept() {
    d_->OnOK();
}

void AdvancedDialog::showEvent(QShowEvent* event) {
    if (!d_->initialized) {
        d_->OnInitDialog();
    }
    QDialog::showEvent(event);
}

}  // namespace vantor::ui
