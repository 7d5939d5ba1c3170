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

struct InstructionLine {
    unsigned text_color;
    const char* text;
};

// The operating instructions, each on a white background.
constexpr std::array<InstructionLine, 9> kInstructionLines = {{
    {kBlack, "This program will update your Drive firmware"},
    {kRed, "Before downloading the new firmware it is highly recommended"},
    {kRed, "to back up drive parameters and to clear the EEPROM."},
    {kBlack, "To update the Drive firmware, take the following steps:"},
    {kBlack, "1.) Select the correct Com port."},
    {kBlack, "2.) Select the correct baud rate."},
    {kBlack, "3.) Click the Advance button and select the ORB file."},
    {kBlack, "4.) Use the Specific Addressing option if you know the drive address"},
    {kBlack, "5.) Click the Start  button."},
}};

constexpr const char* kAboutMenuText = "&About WinVantor...";

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
    link_attachment_ = GuiWindowLink::Instance().Attach(this);
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
                [i] { WriteSetting("COM", std::string(1, static_cast<char>('1' + i))); });
    }
    baud_group_ = new QButtonGroup(this);
    constexpr std::array<const char*, 2> kBaudText = {"9600", "19200"};
    constexpr std::array<int, 2> kBaudY = {87, 99};
    for (int i = 0; i < 2; ++i) {
        baud_buttons_[i] = new QRadioButton(QString::fromLatin1(kBaudText[i]), this);
        baud_buttons_[i]->setGeometry(units.Rect(11, kBaudY[i], 32, 10));
        baud_group_->addButton(baud_buttons_[i], i);
        connect(baud_buttons_[i], &QRadioButton::clicked, this,
                [text = kBaudText[i]] { WriteSetting("BRAT", text); });
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
    ShowPlannedImages();
    port_buttons_[0]->setFocus();
}

void MainDialog::ShowPortDevices() {
    // The operator tells the adapters apart by the devices that the port map gives them.
    for (int i = 0; i < 4; ++i) {
        const std::string name = "COM" + std::to_string(i + 1);
        const std::optional<std::string> address = platform::ResolvePortName(name);
        port_buttons_[i]->setToolTip(QStringLiteral("Com%1: %2")
                                         .arg(i + 1)
                                         .arg(QString::fromLocal8Bit(address.value_or(""))));
    }
}

void MainDialog::KeepSwitchChoices(bool port, bool baud) {
    port_from_switch_ = port;
    baud_from_switch_ = baud;
}

void MainDialog::AddInstructionLines() {
    for (const InstructionLine& line : kInstructionLines) {
        instructions_list_->AddLine(line.text_color, kWhite, line.text);
    }
}

void MainDialog::DoDataExchange(bool from_controls) {
    JobOptions& options = host_->Options;
    if (from_controls) {
        options.PortIndex = port_group_->checkedId();
        options.BaudChoice = baud_group_->checkedId();
    } else {
        CheckButton(port_group_, options.PortIndex);
        CheckButton(baud_group_, options.BaudChoice);
    }
}

void MainDialog::LoadSettings() {
    // A damaged store is kept as it is, with its port map, until the operator has seen why:
    // the window writes nothing into it, and the ports that its map names open nothing.
    const platform::Registry registry(platform::RegistryFilePath(),
                                      platform::Registry::DamagedFile::Keep);
    if (auto problem = registry.Problem()) {
        store_problem_ = *problem;
        std::fprintf(stderr, "vantor: %s\n", problem->c_str());
        // Over the window once it is on the screen, not over the corner where it starts.
        QTimer::singleShot(0, this, &MainDialog::ShowStoreProblem);
    }
    JobOptions& options = host_->Options;
    if (auto key = registry.OpenKey(kSettingsKey)) {
        if (auto path = registry.QueryValue(*key, "FilePath", kFilePathBufferBytes)) {
            options.FilesListPath = *path;
        }
        platform::Registry::CloseKey(*key);
    } else {
        // The first run: the key is made, holding the default files list's path.
        options.FilesListPath = DefaultFilesListPath();
        if (auto created = registry.CreateKey(kSettingsKey)) {
            registry.SetValue(*created, "FilePath", options.FilesListPath);
            platform::Registry::CloseKey(*created);
        }
    }
    auto key = registry.OpenKey(kSettingsKey);
    if (!key) {
        return;
    }
    auto com = registry.QueryValue(*key, "COM", kComBufferBytes);
    if (com && !port_from_switch_) {
        options.PortIndex = PortIndexFromCom(*com);
        DoDataExchange(false);
    }
    auto brat = registry.QueryValue(*key, "BRAT", kBratBufferBytes);
    if (brat && !baud_from_switch_) {
        options.BaudChoice = BaudChoiceFromBrat(*brat);
        DoDataExchange(false);
    }
    if (auto addr = registry.QueryValue(*key, "ADDR", kAddrBufferBytes)) {
        options.SpecificAddress = SpecificAddressFromAddr(*addr);
    }
    if (auto addren = registry.QueryValue(*key, "ADDREN", kAddrenBufferBytes)) {
        options.UseSpecificAddress = UseSpecificAddressFromAddren(*addren);
    }
    platform::Registry::CloseKey(*key);
}

void MainDialog::Start() {
    DoDataExchange(true);
    using platform::Display;
    for (const Display display : {Display::AddressLabel, Display::FileNameLabel,
                                  Display::VersionLabel, Display::RevisionLabel}) {
        SetDisplayText(display, " ");
    }
    // The header check names the single image by this display, as a files list line names its
    // image; a blank there would give the operator's message no file name.
    if (const std::string& image = host_->Options.ImagePath; !image.empty()) {
        SetDisplayText(Display::FileNameLabel, image.substr(image.rfind('/') + 1));
    }
    SetProgressPos(0);
    if (host_->JobRunning.load() != 0) {
        return;  // the running job goes on and overwrites the labels at its next report
    }
    host_->JobRunning = 1;
    ClearCause();
    progress_.Begin();
    ShowProgressText();
    const int port_index = host_->Options.PortIndex.load();
    job_port_name_ = std::string("COM") + static_cast<char>('1' + (port_index & 0xFF));
    if (!StartWorker()) {
        host_->JobRunning = 0;  // so that Start stays usable
        SetDisplayText(Display::StatusLine, "Error : Failed to start the download");
    }
}

bool MainDialog::StartWorker() {
    auto job = std::make_shared<WindowJob>();
    job->host = host_;
    job->port_name = job_port_name_;
    if (!StartWindowJob(job, link_attachment_)) {
        return false;
    }
    job_ = std::move(job);
    ++workers_started_;
    return true;
}

void MainDialog::Advanced() {
    JobOptions& options = host_->Options;
    // A child of the window: placed over it, with its icon, and above it on the screen.
    AdvancedDialog dialog(this);
    dialog.FilesListPath = QString::fromLocal8Bit(options.FilesListPath);
    dialog.SkipSeeking = options.SkipSeeking;
    dialog.ResetAfterDownload = options.ResetAfterDownload;
    dialog.UseSpecificAddress = options.UseSpecificAddress;
    dialog.SpecificAddress = options.SpecificAddress;
    dialog.exec();
    GiveFocusBack(this);
    // Taken back after OK and Cancel alike; a running job sees them at its next activation.
    options.SkipSeeking = dialog.SkipSeeking;
    options.ResetAfterDownload = dialog.ResetAfterDownload;
    options.SpecificAddress = dialog.SpecificAddress;
    WriteSetting("ADDR", AddrText(dialog.SpecificAddress));
    options.UseSpecificAddress = dialog.UseSpecificAddress;
    WriteSetting("ADDREN", dialog.UseSpecificAddress != 0 ? "1" : "0");
    ShowPlannedImages();
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
    progress_.OnStatus(status);
    // The job waits while this runs, so what its port reported holds still. A port that did not
    // open leaves its reason, and no current port, until the next job opens one.
    const PortReport& report = host_->Record.Port;
    std::string cause;
    if (!report.open_error.empty() && CurrentPort() == nullptr) {
        cause = job_port_name_.size() == 4 && job_port_name_[3] >= '1' && job_port_name_[3] <= '4'
                    ? platform::UnopenablePortCause(job_port_name_, report.open_error)
                    : "no port is chosen: check one of Com1 to Com4";
    } else if (status == kNoBreaksStatusText) {
        cause = platform::NoBreaksCause(status);
    }
    if (!cause.empty() && cause != shown_cause_) {
        ShowCause(cause);
    }
}

void MainDialog::ShowCause(const std::string& cause) {
    ClearCause();
    shown_cause_ = cause;
    // A window started from a terminal says it there too.
    std::fprintf(stderr, "vantor: %s\n", cause.c_str());
    const QString text = QString::fromLocal8Bit(cause);
    const int width_px = instructions_list_->viewport()->width() -
                         style()->pixelMetric(QStyle::PM_ScrollBarExtent) - 2;
    for (const QString& line : WrapText(text, instructions_list_->fontMetrics(), width_px)) {
        instructions_list_->AddLine(kRed, kWhite, line.toLatin1().constData());
    }
    instructions_list_->scrollToBottom();
    Label(platform::Display::StatusLine)->setToolTip(text);
    Label(platform::Display::StatusLine)->setAccessibleDescription(text);
}

void MainDialog::ClearCause() {
    while (instructions_list_->count() > static_cast<int>(kInstructionLines.size())) {
        delete instructions_list_->takeItem(instructions_list_->count() - 1);
    }
    shown_cause_.clear();
    Label(platform::Display::StatusLine)->setToolTip(QString());
    Label(platform::Display::StatusLine)->setAccessibleDescription(QString());
}

void MainDialog::ShowStoreProblem() {
    QString text = QString::fromLocal8Bit(store_problem_);
    if (!text.isEmpty()) {
        text[0] = text[0].toUpper();
    }
    text += QStringLiteral(
        ".\n\nThe file is left as it is, and nothing is written into it while it stays so: "
        "the choices made now hold for this run only. The ports that its map names cannot be "
        "known, so Start opens no port through it until the file is mended (vantor(5) says "
        "what it may hold) or moved away for a fresh start.");
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
    label_bytes_[DisplayIndex(display)] = text;
    Label(display)->setText(QString::fromLocal8Bit(text));
}

std::string MainDialog::DisplayText(platform::Display display) const {
    return label_bytes_[DisplayIndex(display)];
}

void MainDialog::SetProgressRange(int low, int high) {
    // An empty range would make the bar a busy indicator; the window system shows it empty.
    const int high_shown = std::max(high, low + 1);
    const int pos = progress_bar_->value();
    progress_bar_->setRange(low, high_shown);
    progress_bar_->setValue(std::clamp(pos, low, high_shown));
    progress_.OnRange(low, high);
    progress_.OnPos(progress_bar_->value());
    ShowProgressText();
}

void MainDialog::SetProgressPos(int pos) {
    // The window system keeps the position inside the range; a position outside it is not
    // ignored but clamped.
    progress_bar_->setValue(std::clamp(pos, progress_bar_->minimum(), progress_bar_->maximum()));
    progress_.OnPos(progress_bar_->value());
    ShowProgressText();
}

void MainDialog::NoteJobFiles(int files) {
    progress_.SetFiles(files);
    ShowProgressText();
}

void MainDialog::ShowProgressText() {
    const QString text = QString::fromStdString(progress_.Text());
    // Said by the bar itself, beside the design's status texts, which stay as they are.
    progress_bar_->setFormat(text);
    progress_bar_->setTextVisible(!text.isEmpty());
    progress_bar_->setAccessibleDescription(text);
}

void MainDialog::ShowPlannedImages() {
    // Before Start the operator sees which image Start will send: the single image, or the
    // names that the files list gives, each line's path in the tip.
    if (JobIsRunning()) {
        return;
    }
    QStringList names;
    QStringList lines;
    for (const PlannedImage& image :
         ReadPlannedImages(host_->Options.ImagePath, host_->Options.FilesListPath)) {
        names << QString::fromLocal8Bit(image.entry.Name);
        lines << QString::fromLocal8Bit(image.entry.Path);
    }
    QLabel* label = Label(platform::Display::FileNameLabel);
    SetDisplayText(platform::Display::FileNameLabel,
                   names.join(QStringLiteral(", ")).toLocal8Bit().toStdString());
    label->setToolTip(lines.join(QLatin1Char('\n')));
    label->setAccessibleDescription(lines.join(QStringLiteral(", ")));
}

}  // namespace vantor::ui
