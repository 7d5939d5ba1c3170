#include "ui/gui_window_link.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "ui/main_dialog.h"
#include "ui/window_focus.h"

namespace vantor::ui {

namespace {

// The attachment a worker belongs to; 0 on threads that are not workers.
thread_local std::uint64_t t_attachment = 0;

QMessageBox::Icon BoxIcon(platform::MessageIcon icon) {
    switch (icon) {
        case platform::MessageIcon::Information:
            return QMessageBox::Information;
        case platform::MessageIcon::Question:
            return QMessageBox::Question;
        case platform::MessageIcon::Stop:
            return QMessageBox::Critical;
        case platform::MessageIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

// The innermost modal dialog open over `main`, or `main` itself.
QWidget* TopModalWindowOf(QWidget* main) {
    QWidget* modal = QApplication::activeModalWidget();
    for (QWidget* w = modal; w != nullptr; w = w->parentWidget()) {
        if (w == main) {
            return qobject_cast<QDialog*>(modal) != nullptr ? modal : main;
        }
    }
    return main;
}

}  // namespace

GuiWindowLink& GuiWindowLink::Instance() {
    // Deliberately never destroyed: an abandoned worker may call it until the process ends.
    static GuiWindowLink* const link = new GuiWindowLink;
    return *link;
}

std::uint64_t GuiWindowLink::Attach(MainDialog* dialog) {
    std::uint64_t attachment = 0;
    {
        std::lock_guard lock(mutex_);
        attachment = ++attachment_;
        attached_ = true;
    }
    dialog_ = dialog;
    platform::SetWindowLink(this);
    return attachment;
}

void GuiWindowLink::Detach(const MainDialog* dialog) {
    if (dialog_ != dialog) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        attached_ = false;
        ++attachment_;
    }
    changed_.notify_all();
    dialog_ = nullptr;
    for (const auto& box : boxes_) {
        if (box != nullptr) {
            box->close();
        }
    }
    boxes_.clear();
}

void GuiWindowLink::BindThisThread(std::uint64_t attachment) {
    t_attachment = attachment;
}

std::uint64_t GuiWindowLink::CallerAttachment() {
    if (t_attachment != 0) {
        return t_attachment;
    }
    std::lock_guard lock(mutex_);
    return attachment_;
}

bool GuiWindowLink::IsAttached(std::uint64_t attachment) {
    std::lock_guard lock(mutex_);
    return attached_ && attachment == attachment_;
}

bool GuiWindowLink::RunOnWindowThread(const std::shared_ptr<PendingCall>& call,
                                      std::function<void(MainDialog&)> work) {
    const std::uint64_t attachment = CallerAttachment();
    if (QThread::currentThread() == thread()) {
        if (!IsAttached(attachment) || dialog_ == nullptr) {
            return false;
        }
        work(*dialog_);
        return true;
    }
    if (!IsAttached(attachment)) {
        return false;
    }
    // The work runs only while the caller's window is still attached, which is checked on the
    // window's thread, where the window also goes: it never touches a window that has gone.
    QMetaObject::invokeMethod(
        this,
        [this, call, attachment, work = std::move(work)] {
            if (IsAttached(attachment) && dialog_ != nullptr) {
                work(*dialog_);
                Complete(call);
            }
        },
        Qt::QueuedConnection);
    return WaitFor(call, attachment);
}

bool GuiWindowLink::WaitFor(const std::shared_ptr<PendingCall>& call, std::uint64_t attachment) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return call->done || !attached_ || attachment_ != attachment; });
    return call->done;
}

bool GuiWindowLink::IsComplete(const std::shared_ptr<PendingCall>& call) {
    std::lock_guard lock(mutex_);
    return call->done;
}

void GuiWindowLink::Complete(const std::shared_ptr<PendingCall>& call) {
    {
        std::lock_guard lock(mutex_);
        call->done = true;
    }
    changed_.notify_all();
}

bool GuiWindowLink::Carry(std::function<void(WindowCore&)> work) {
    return RunOnWindowThread(std::make_shared<PendingCall>(),
                             [work = std::move(work)](MainDialog& dialog) { work(dialog.Core()); });
}

void GuiWindowLink::RunOnWindow(std::function<void(MainDialog&)> work) {
    RunOnWindowThread(std::make_shared<PendingCall>(), std::move(work));
}

void GuiWindowLink::ShowBox(const std::string& text, const std::string& caption,
                            platform::MessageIcon icon) {
    const std::uint64_t attachment = CallerAttachment();
    auto closed = std::make_shared<PendingCall>();
    const bool shown = RunOnWindowThread(
        std::make_shared<PendingCall>(),
        [this, closed, text, caption, icon](MainDialog&) { ShowBox(closed, text, caption, icon); });
    if (shown && QThread::currentThread() != thread()) {
        // Only the worker waits for the operator; the window goes on working meanwhile.
        WaitFor(closed, attachment);
    }
}

void GuiWindowLink::ShowBox(const std::shared_ptr<PendingCall>& closed, const std::string& text,
                            const std::string& caption, platform::MessageIcon icon) {
    // The box belongs to the window that is modal now, the main window or a dialog open over
    // it: Qt lets a window's modality pass only to that window's own children, and a window
    // manager stacks a child over its parent. It does not block the window itself.
    QWidget* owner = TopModalWindowOf(dialog_);
    auto* box = new QMessageBox(BoxIcon(icon), QString::fromLocal8Bit(caption),
                                QString::fromLocal8Bit(text), QMessageBox::Ok, owner);
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, closed] {
        Complete(closed);
        if (dialog_ != nullptr) {
            GiveFocusBack(TopModalWindowOf(dialog_));
        }
    });
    // A box that goes with its owner without an answer must not keep the worker waiting.
    connect(box, &QObject::destroyed, this, [this, closed] { Complete(closed); });
    if (auto* owner_dialog = qobject_cast<QDialog*>(owner); owner_dialog != dialog_.data()) {
        // The dialog it was shown over closes first: the box moves back to the main window.
        connect(owner_dialog, &QDialog::finished, box,
                [this, closed, box = QPointer<QMessageBox>(box)] {
                    if (box != nullptr && dialog_ != nullptr && !IsComplete(closed)) {
                        box->setParent(dialog_, box->windowFlags());
                        box->show();
                    }
                });
    }
    boxes_.emplace_back(box);
    box->show();
    box->raise();
    box->activateWindow();
}

std::vector<QMessageBox*> GuiWindowLink::OpenBoxes() const {
    std::vector<QMessageBox*> open;
    for (const auto& box : boxes_) {
        if (box != nullptr && box->isVisible()) {
            open.push_back(box);
        }
    }
    return open;
}

void GuiWindowLink::Post(int window, int message) {
    (void)platform::PostToDescriptor(window, message);
}

void GuiWindowLink::PostQuit() {
    const std::uint64_t attachment = CallerAttachment();
    QMetaObject::invokeMethod(
        this,
        [this, attachment] {
            if (IsAttached(attachment) && dialog_ != nullptr) {
                dialog_->EndByQuit();
            }
        },
        Qt::QueuedConnection);
}

}  // namespace vantor::ui
