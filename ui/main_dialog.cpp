#include "ui/main_dialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "link/serial_port.h"
#include "platform/registry.h"
#include "platform/serial/port_cause.h"
#include "platform/serial/port_map.h"
#include "ui/about_dialog.h"
#include "ui/advanced_dialog.h"
#include "ui/color_list_box.h"
#include "ui/dialog_units.h"
#include "ui/gui_window_link.h"
#include "ui/job_history.h"
#include "ui/screen_fit.h"
#include "ui/send_plan.h"
#include "ui/settings_store.h"
#include "ui/window_focus.h"

namespace vantor::ui {

namespace {

int DisplayIndex(platform::Display display) {
    return static_cast<int>(display);
}

// Checks the button at `index` and unchecks the others; an index without a button leaves none
// checked, which an exclusive group does not allow by itself.
void CheckButton(QButtonGroup* group, int index) {
    group->setExclusive(false);
    for (QAbstractButton* button : group->buttons()) {
        button->setChecked(group->id(button) == index);
    }
    group->setExclusive(true);
}

QPushButton* MakePushButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    // Plain push buttons: none is the default, none is a tab stop.
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setFocusPolicy(Qt::ClickFocus);
    return button;
}

QLabel* MakeLabel(const QString& text, Qt::Alignment alignment, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(alignment);
    return label;
}

// `text` cut into lines no wider than `width_px`, at blanks where it can be, else anywhere.
std::vector<QString> WrapText(const QString& text, const QFontMetrics& metrics, int width_px) {
    std::vector<QString> lines;
    QString line;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString joined = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
        if (metrics.horizontalAdvance(joined) <= width_px) {
            line = joined;
            continue;
        }
        if (!line.isEmpty()) {
            lines.push_back(line);
        }
        line = word;
        // A word wider than the line (a long path) is cut where it reaches the edge.
        while (line.size() > 1 && metrics.horizontalAdvance(line) > width_px) {
            int fits = 1;
            while (fits < line.size() &&
                   metrics.horizontalAdvance(line.left(fits + 1)) <= width_px) {
                ++fits;
            }
            lines.push_back(line.left(fits));
            line = line.mid(fits);
        }
    }
    if (!line.isEmpty()) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

QString MainDialog::ProgramName() {
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("vantor") : name;
}

MainDialog::MainDialog(QWidget* parent) : QDialog(parent), app_icon_(LoadAppIcon()) {
    setWindowTitle(QStringLiteral("Vantor KDX v" VANTOR_VERSION_TEXT));
    // A top-level window with caption, system menu and minimise box, shown on the task bar.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(app_icon_);
    setFont(DialogFont());
    const DialogUnits units(font());
    setFixedSize(units.X(296), units.Y(135));
    CreateControls();
    FitInto(this, RoomOnScreen(this));
    const std::uint64_t attachment = GuiWindowLink::Instance().Attach(this);
    core_.SetWorkerLink(&GuiWindowLink::Instance(),
                        [attachment] { GuiWindowLink::BindThisThread(attachment); });
}

MainDialog::~MainDialog() {
    GuiWindowLink::Instance().Detach(this);
}

void MainDialog::CreateControls() {
    const DialogUnits units(font());
    start_button_ = MakePushButton(QStringLiteral("&Start"), this);
    start_button_->setGeometry(units.Rect(153, 119, 43, 13));
    advanced_button_ = MakePushButton(QStringLiteral("&Advanced"), this);
    advanced_button_->setGeometry(units.Rect(201, 119, 43, 13));
    exit_button_ = MakePushButton(QStringLiteral("&Exit"), this);
    exit_button_->setGeometry(units.Rect(248, 119, 43, 13));
    connect(start_button_, &QPushButton::clicked, this, &MainDialog::Start);
    connect(advanced_button_, &QPushButton::clicked, this, &MainDialog::Advanced);
    connect(exit_button_, &QPushButton::clicked, this, &MainDialog::reject);
    CreateOptionButtons();
    CreateDisplays();
}

void MainDialog::CreateOptionButtons() {
    const DialogUnits units(font());
    auto* port_frame = new QGroupBox(QStringLiteral("Com Port"), this);
    port_frame->setGeometry(units.Rect(5, 6, 47, 62));
    auto* baud_frame = new QGroupBox(QStringLiteral("Baud Rate"), this);
    baud_frame->setGeometry(units.Rect(5, 74, 47, 39));

    port_group_ = new QButtonGroup(this);
    constexpr std::array<int, 4> kPortY = {18, 29, 41, 54};
    for (int i = 0; i < 4; ++i) {
        port_buttons_[i] = new QRadioButton(QStringLiteral("Com%1").arg(i + 1), this);
        port_buttons_[i]->setGeometry(units.Rect(11, kPortY[i], 34, 10));
        port_group_->addButton(port_buttons_[i], i);
        // A click stores the choice at once; the option itself changes at Start.
        connect(port_buttons_[i], &QRadioButton::clicked, this,
                [this, i] { core_.OnPortButton(i); });
    }
    baud_group_ = new QButtonGroup(this);
    constexpr std::array<const char*, 2> kBaudText = {"9600", "19200"};
    constexpr std::array<int, 2> kBaudY = {87, 99};
    for (int i = 0; i < 2; ++i) {
        baud_buttons_[i] = new QRadioButton(QString::fromLatin1(kBaudText[i]), this);
        baud_buttons_[i]->setGeometry(units.Rect(11, kBaudY[i], 32, 10));
        baud_group_->addButton(baud_buttons_[i], i);
        connect(baud_buttons_[i], &QRadioButton::clicked, this,
                [this, i] { core_.OnBaudButton(i); });
    }
    port_frame->lower();
    baud_frame->lower();
}

void MainDialog::CreateDisplays() {
    const DialogUnits units(font());
    instructions_list_ = new ColorListBox(this);
    instructions_list_->setGeometry(units.Rect(58, 11, 233, 45));
    instructions_list_->setSelectionMode(QAbstractItemView::NoSelection);
    instructions_list_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    instructions_list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Reachable by the Tab key, so that a reason shown under the instructions can be scrolled
    // to without a mouse.
    instructions_list_->setFocusPolicy(Qt::StrongFocus);

    const Qt::Alignment caption = Qt::AlignLeft | Qt::AlignTop;
    const Qt::Alignment left = Qt::AlignLeft | Qt::AlignVCenter;
    const Qt::Alignment centred = Qt::AlignHCenter | Qt::AlignVCenter;
    MakeLabel(QStringLiteral("HW Revision:"), caption, this)
        ->setGeometry(units.Rect(58, 59, 46, 9));
    MakeLabel(QStringLiteral("Orrim version:"), caption, this)
        ->setGeometry(units.Rect(215, 59, 50, 9));
    MakeLabel(QStringLiteral("File name:"), caption, this)->setGeometry(units.Rect(58, 72, 32, 9));
    MakeLabel(QStringLiteral("Address:"), caption, this)->setGeometry(units.Rect(215, 71, 32, 9));

    using platform::Display;
    // Each value carries its caption's words as its name, so that a screen reader says what the
    // value is rather than reading the caption and the value as two unrelated texts.
    const auto place = [&](Display display, Qt::Alignment alignment, QRect rect, const char* name) {
        QLabel* label = MakeLabel(QString(), alignment, this);
        label->setGeometry(rect);
        label->setObjectName(QString::fromLatin1(platform::DisplayName(display)));
        label->setAccessibleName(QString::fromLatin1(name));
        labels_[DisplayIndex(display)] = label;
    };
    place(Display::FileNameLabel, left, units.Rect(105, 72, 95, 9), "File name");
    place(Display::AddressLabel, centred, units.Rect(277, 72, 14, 9), "Address");
    place(Display::StatusLine, left, units.Rect(58, 85, 233, 10), "Status");
    place(Display::RevisionLabel, left, units.Rect(105, 59, 95, 9), "HW Revision");
    place(Display::VersionLabel, centred, units.Rect(277, 59, 14, 9), "Orrim version");
    instructions_list_->setAccessibleName(QStringLiteral("Instructions"));

    progress_bar_ = new QProgressBar(this);
    progress_bar_->setGeometry(units.Rect(58, 97, 233, 15));
    progress_bar_->setAccessibleName(QStringLiteral("Progress"));
    // The bar's text, the totals, shows only while there are totals to show.
    progress_bar_->setTextVisible(false);
    progress_bar_->setRange(0, 100);
    progress_bar_->setValue(0);
}

int MainDialog::DoModal() {
    OnInitDialog();
    return exec();
}

void MainDialog::OnInitDialog() {
    DoDataExchange(false);
    AddInstructionLines();
    LoadSettings();
    ShowPortDevices();
    core_.ShowPlannedImages();
    port_buttons_[0]->setFocus();
}

void MainDialog::ShowPortDevices() {
    // The operator tells the adapters apart by the devices that the port map gives them.
    for (int i = 0; i < 4; ++i) {
        const std::string name = "COM" + std::to_string(i + 1);
        const std::optional<std::string> address =
            platform::ResolvePortName(name).ValueOr(std::nullopt);
        port_buttons_[i]->setToolTip(QStringLiteral("Com%1: %2")
                                         .arg(i + 1)
                                         .arg(QString::fromLocal8Bit(address.value_or(""))));
    }
}

void MainDialog::KeepSwitchChoices(bool port, bool baud) {
    core_.KeepSwitchChoices(port, baud);
}

void MainDialog::AddInstructionLines() {
    for (const InstructionLine& line : kInstructionLines) {
        instructions_list_->AddLine(line.text_colour, kWhite, line.text);
    }
}

void MainDialog::DoDataExchange(bool from_controls) {
    JobOptions& options = Host().Options;
    if (from_controls) {
        options.PortIndex = port_group_->checkedId();
        options.BaudChoice = baud_group_->checkedId();
    } else {
        ShowChoices(options.PortIndex, options.BaudChoice);
    }
}

void MainDialog::ShowChoices(int port_index, int baud_choice) {
    CheckButton(port_group_, port_index);
    CheckButton(baud_group_, baud_choice);
}

void MainDialog::LoadSettings() {
    if (!core_.LoadSettings()) {
        // Over the window once it is on the screen, not over the corner where it starts.
        QTimer::singleShot(0, this, &MainDialog::ShowStoreProblem);
    }
}

void MainDialog::Start() {
    core_.Start(port_group_->checkedId(), baud_group_->checkedId());
}

void MainDialog::Advanced() {
    const AdvancedOptions given = core_.AdvancedOptionsNow();
    // A child of the window: placed over it, with its icon, and above it on the screen.
    AdvancedDialog dialog(this);
    dialog.FilesListPath = QString::fromLocal8Bit(Host().Options.FilesListPath);
    dialog.SkipSeeking = given.SkipSeeking;
    dialog.ResetAfterDownload = given.ResetAfterDownload;
    dialog.UseSpecificAddress = given.UseSpecificAddress;
    dialog.SpecificAddress = given.SpecificAddress;
    dialog.exec();
    GiveFocusBack(this);
    core_.TakeBackAdvanced({dialog.SkipSeeking, dialog.ResetAfterDownload,
                            dialog.UseSpecificAddress, dialog.SpecificAddress});
}

void MainDialog::ShowAboutBox() {
    AboutDialog about(this);
    about.exec();
    GiveFocusBack(this);
}

void MainDialog::contextMenuEvent(QContextMenuEvent* event) {
    // The window system offers no system menu to add to here, so the About entry sits in the
    // window's own context menu.
    QMenu menu(this);
    menu.addAction(QString::fromLatin1(kAboutMenuText), this, &MainDialog::ShowAboutBox);
    menu.exec(event->globalPos());
}

bool MainDialog::focusNextPrevChild(bool next) {
    // Qt makes only the checked button of a group a tab stop; the window's template makes all
    // six option buttons tab stops, in their order. The instructions list follows them, so
    // that what is shown under the instructions can be read without a mouse.
    std::array<QWidget*, 7> stops = {port_buttons_[0],  port_buttons_[1], port_buttons_[2],
                                     port_buttons_[3],  baud_buttons_[0], baud_buttons_[1],
                                     instructions_list_};
    const auto current = std::find(stops.begin(), stops.end(), focusWidget());
    int index =
        current == stops.end() ? (next ? -1 : 0) : static_cast<int>(current - stops.begin());
    index =
        (index + (next ? 1 : -1) + static_cast<int>(stops.size())) % static_cast<int>(stops.size());
    stops[index]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

void MainDialog::NoteJobStatus(const std::string& status) {
    core_.NoteJobStatus(status);
}

void MainDialog::ShowCause(const std::string& cause) {
    while (instructions_list_->count() > static_cast<int>(kInstructionLines.size())) {
        delete instructions_list_->takeItem(instructions_list_->count() - 1);
    }
    const QString text = QString::fromLocal8Bit(cause);
    Label(platform::Display::StatusLine)->setToolTip(text);
    Label(platform::Display::StatusLine)->setAccessibleDescription(text);
    if (cause.empty()) {
        return;
    }
    const int width_px = instructions_list_->viewport()->width() -
                         style()->pixelMetric(QStyle::PM_ScrollBarExtent) - 2;
    for (const QString& line : WrapText(text, instructions_list_->fontMetrics(), width_px)) {
        instructions_list_->AddLine(kRed, kWhite, line.toLatin1().constData());
    }
    instructions_list_->scrollToBottom();
}

void MainDialog::ShowStoreProblem() {
    const QString text = QString::fromLocal8Bit(core_.StoreProblemText());
    auto* box = new QMessageBox(QMessageBox::Warning, ProgramName(), text, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("StoreProblemBox"));
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this] { GiveFocusBack(this); });
    box->open();
}

QLabel* MainDialog::Label(platform::Display display) const {
    return labels_[DisplayIndex(display)];
}

void MainDialog::SetDisplayText(platform::Display display, const std::string& text) {
    core_.SetDisplay(display, text);
}

void MainDialog::ShowDisplay(platform::Display display, const std::string& text) {
    Label(display)->setText(QString::fromLocal8Bit(text));
}

std::string MainDialog::DisplayText(platform::Display display) const {
    return core_.DisplayText(display);
}

void MainDialog::SetProgressRange(int low, int high) {
    core_.SetProgressRange(low, high);
}

void MainDialog::SetProgressPos(int pos) {
    core_.SetProgressPos(pos);
}

void MainDialog::ShowProgress(int low, int high, int pos) {
    progress_bar_->setRange(low, high);
    progress_bar_->setValue(pos);
}

void MainDialog::NoteJobFiles(int files) {
    core_.NoteJobFiles(files);
}

void MainDialog::ShowProgressText(const std::string& progress_text) {
    const QString text = QString::fromStdString(progress_text);
    // Said by the bar itself, beside the design's status texts, which stay as they are.
    progress_bar_->setFormat(text);
    progress_bar_->setTextVisible(!text.isEmpty());
    progress_bar_->setAccessibleDescription(text);
}

void MainDialog::ShowPlannedPaths(const std::vector<std::string>& paths) {
    QStringList lines;
    for (const std::string& path : paths) {
        lines << QString::fromLocal8Bit(path);
    }
    QLabel* label = Label(platform::Display::FileNameLabel);
    label->setToolTip(lines.join(QLatin1Char('\n')));
    label->setAccessibleDescription(lines.join(QStringLiteral(", ")));
}

}  // namespace vantor::ui
