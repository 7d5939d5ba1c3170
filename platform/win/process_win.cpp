// Child processes on Windows: CreateProcessW with the standard streams on anonymous pipes, the
// null device or files. An anonymous pipe cannot be waited on, so each pipe the parent reads has
// a reader thread of its own that fills a bounded buffer, and the system reports a child's end
// through a registered wait; both wake the one condition that every wait here sleeps on, so a
// wait set of any size costs no handle limit. Every child is put into one job object that ends
// them all when this process ends, however it ends.
//
// Signals as the POSIX form knows them: SIGINT is a release of the child's interrupt channel
// (platform/win/interrupt_channel.h), which the child takes as its Ctrl-C; SIGTERM and SIGKILL
// end it with TerminateProcess, and its end then reads as that signal. Each child runs on a
// hidden console of its own, so that a Ctrl-C at the parent's console reaches the parent alone.
#include <io.h>
#include <windows.h>
// After windows.h, whose types they use.
#include <psapi.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cwctype>
#include <future>
#include <mutex>
#include <thread>

#include "platform/process.h"
#include "platform/win/interrupt_channel.h"
#include "platform/win/system_message.h"

namespace vantor::platform {

namespace {

// What a reader takes from its pipe at a time.
constexpr DWORD kReadChunk = 64 * 1024;
// The size the pipes are asked for; the system may round it.
constexpr DWORD kPipeBytes = 64 * 1024;
// After a child was killed, how long its pipes get to come to their end (a grandchild that kept
// them open would hold them for ever).
constexpr auto kDrainAfterKill = std::chrono::seconds(5);
// A child ended by TerminateProcess for `signal` exits with this status.
constexpr UINT kTerminatedBase = 128;
// Interruptions that a child's channel holds before it has taken them.
constexpr LONG kInterruptsHeld = 64;
// The POSIX numbers of the signals that the C runtime here does not name.
constexpr int kSigKill = 9;

// One lock and one condition for every child's threads: a reader that has read, a reader at its
// pipe's end, and a child that has ended all wake whoever waits on any child.
std::mutex g_mutex;
std::condition_variable g_changed;
// Children are started one at a time, with their ends of the pipes inheritable only meanwhile,
// so that no child inherits another's pipes (which would hold them open past that one's end).
std::mutex g_start_mutex;

std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(size, 0)), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          size);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                          size, nullptr, nullptr);
    return narrow;
}

std::string LastError(const char* what) {
    return std::string(what) + ": " + SystemMessage(::GetLastError());
}

// Appends `argument` to a command line so that CommandLineToArgvW and the C runtime give it
// back unchanged: quoted when it holds white space or a quote, or is empty; a quote escaped by a
// backslash; backslashes doubled where they come before a quote, the closing one included.
void AppendArgument(std::wstring& line, const std::wstring& argument) {
    if (!line.empty()) {
        line += L' ';
    }
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    for (auto it = argument.begin();; ++it) {
        std::size_t backslashes = 0;
        while (it != argument.end() && *it == L'\\') {
            ++it;
            ++backslashes;
        }
        if (it == argument.end()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (*it == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        line += *it;
    }
    line += L'"';
}

bool SameName(const std::wstring& entry, const std::wstring& name) {
    if (entry.size() <= name.size() || entry[name.size()] != L'=') {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::towupper(entry[i]) != std::towupper(name[i])) {
            return false;
        }
    }
    return true;
}

// The parent's environment with `changes` made, as the block CreateProcessW takes.
std::wstring EnvironmentBlock(
    const std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
    std::vector<std::wstring> entries;
    if (wchar_t* strings = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
            entries.emplace_back(entry);
        }
        ::FreeEnvironmentStringsW(strings);
    }
    for (const auto& [name, value] : changes) {
        const std::wstring wide_name = Wide(name);
        entries.erase(
            std::remove_if(entries.begin(), entries.end(),
                           [&](const std::wstring& entry) { return SameName(entry, wide_name); }),
            entries.end());
        if (value) {
            entries.push_back(wide_name + L'=' + Wide(*value));
        }
    }
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

// The job every child joins: when this process ends, the system closes the job's last handle
// and ends every child still in it. It lives as long as the process.
HANDLE ChildrenJob(std::string* error) {
    static HANDLE job = [] {
        HANDLE created = ::CreateJobObjectW(nullptr, nullptr);
        if (created != nullptr) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            if (!::SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                           sizeof limits)) {
                ::CloseHandle(created);
                created = nullptr;
            }
        }
        return created;
    }();
    if (job == nullptr) {
        *error = LastError("cannot make a job object for the children");
    }
    return job;
}

class OwnedHandle {
  public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle)
        : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~OwnedHandle() { Reset(); }
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    HANDLE get() const { return handle_; }
    HANDLE release() { return std::exchange(handle_, nullptr); }
    void Reset() {
        if (handle_ != nullptr) {
            ::CloseHandle(handle_);
            handle_ = nullptr;
        }
    }

  private:
    HANDLE handle_ = nullptr;
};

// One output stream the parent reads: the reader thread appends to `incoming` under g_mutex,
// and the owner moves that into `data`, which only the owner touches.
struct OutputPipe {
    bool piped = false;
    std::thread reader;
    std::string incoming;  // under g_mutex
    std::size_t held = 0;  // incoming and data together; under g_mutex
    bool ended = false;    // the reader has seen the end; under g_mutex
    bool discard = false;  // the parent closed its end; under g_mutex
    std::string data;
};

// What a child's threads share with its owner.
struct ChildState {
    std::size_t limit = 0;  // under g_mutex
    OutputPipe out;
    OutputPipe err;
    bool changed = false;  // under g_mutex: output or the end came since the last wait
    bool ended = false;    // under g_mutex: the process has ended
};

}  // namespace

struct ChildProcess::System : ChildState {
    OwnedHandle process;
    DWORD id = 0;
    OwnedHandle input;          // the parent's end of the child's stdin pipe
    OwnedHandle interrupts;     // the semaphore the child hears SIGINT through
    HANDLE end_wait = nullptr;  // the registered wait on the process
    int terminated_by = 0;      // the signal that TerminateProcess stood for
    std::optional<ChildExit> exit;

    OutputPipe& Pipe(OutputStream stream) { return stream == OutputStream::kOut ? out : err; }

    // With g_mutex held: moves what the readers brought into the owner's buffers.
    void GatherLocked() {
        for (OutputPipe* pipe : {&out, &err}) {
            if (!pipe->incoming.empty()) {
                pipe->data += pipe->incoming;
                pipe->incoming.clear();
            }
        }
    }

    // With g_mutex held: reaps the child once the system says it has ended.
    void ReapLocked() {
        if (exit || !ended) {
            return;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(process.get(), &code);
        ChildExit end;
        if (terminated_by != 0 && code == kTerminatedBase + static_cast<UINT>(terminated_by)) {
            end.signal = terminated_by;
        } else {
            end.status = static_cast<int>(code);
        }
        FILETIME created{}, exited{}, kernel{}, user{};
        if (::GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
            const auto ticks = [](const FILETIME& time) {
                return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                       time.dwLowDateTime;
            };
            end.cpu_s = static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
        }
        PROCESS_MEMORY_COUNTERS memory{};
        if (::K32GetProcessMemoryInfo(process.get(), &memory, sizeof memory)) {
            end.peak_memory_kib = static_cast<long>(memory.PeakWorkingSetSize / 1024);
        }
        exit = end;
    }

    bool StreamsEndedLocked() const {
        return (!out.piped || (out.ended && out.incoming.empty())) &&
               (!err.piped || (err.ended && err.incoming.empty()));
    }
};

namespace {

void ReadPipe(ChildState* system, OutputPipe* pipe, HANDLE read_end) {
    std::string chunk(kReadChunk, '\0');
    for (;;) {
        {
            // A stream at its limit is not read until the owner takes some of it.
            std::unique_lock lock(g_mutex);
            g_changed.wait(lock, [&] { return pipe->discard || pipe->held < system->limit; });
        }
        DWORD got = 0;
        const bool read = ::ReadFile(read_end, chunk.data(), kReadChunk, &got, nullptr) != 0;
        std::lock_guard lock(g_mutex);
        if (!read || got == 0 || pipe->discard) {
            if (!read || got == 0) {
                pipe->ended = true;
                system->changed = true;
                g_changed.notify_all();
                break;
            }
            continue;
        }
        pipe->incoming.append(chunk.data(), got);
        pipe->held += got;
        system->changed = true;
        g_changed.notify_all();
    }
    ::CloseHandle(read_end);
}

void CALLBACK OnChildEnded(void* context, BOOLEAN /*timed_out*/) {
    auto* system = static_cast<ChildState*>(context);
    std::lock_guard lock(g_mutex);
    system->ended = true;
    system->changed = true;
    g_changed.notify_all();
}

// The child's end of one standard stream, not yet inheritable; `parent_end` receives the
// parent's end of a pipe.
bool ChildEnd(const ChildStream& stream, bool input, OwnedHandle* child_end,
              OwnedHandle* parent_end, std::string* error) {
    switch (stream.kind) {
        case ChildStream::Kind::kInherit: {
            const HANDLE own = ::GetStdHandle(input ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
            HANDLE copy = nullptr;
            if (own != nullptr && own != INVALID_HANDLE_VALUE &&
                ::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS)) {
                *child_end = OwnedHandle(copy);
            }
            return true;  // none to inherit: the child has none either
        }
        case ChildStream::Kind::kNull:
        case ChildStream::Kind::kFile: {
            const std::wstring path =
                stream.kind == ChildStream::Kind::kNull ? L"NUL" : Wide(stream.path);
            *child_end = OwnedHandle(::CreateFileW(
                path.c_str(), input ? GENERIC_READ : GENERIC_WRITE,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                input || stream.kind == ChildStream::Kind::kNull ? OPEN_EXISTING : CREATE_ALWAYS,
                FILE_ATTRIBUTE_NORMAL, nullptr));
            if (child_end->get() == nullptr) {
                *error = LastError(("cannot open " + Narrow(path)).c_str());
                return false;
            }
            return true;
        }
        case ChildStream::Kind::kPipe: {
            HANDLE read_end = nullptr, write_end = nullptr;
            if (!::CreatePipe(&read_end, &write_end, nullptr, kPipeBytes)) {
                *error = LastError("cannot make a pipe");
                return false;
            }
            *child_end = OwnedHandle(input ? read_end : write_end);
            *parent_end = OwnedHandle(input ? write_end : read_end);
            return true;
        }
        case ChildStream::Kind::kDescriptor: {
            const auto own = reinterpret_cast<HANDLE>(::_get_osfhandle(stream.descriptor));
            HANDLE copy = nullptr;
            if (own == INVALID_HANDLE_VALUE ||
                !::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0,
                                   FALSE, DUPLICATE_SAME_ACCESS)) {
                *error = "descriptor " + std::to_string(stream.descriptor) + " is not open";
                return false;
            }
            *child_end = OwnedHandle(copy);
            return true;
        }
        case ChildStream::Kind::kTerminal:
            *error = "a child on a pseudo-terminal is not available on Windows";
            return false;
        case ChildStream::Kind::kJoinOut:
            *error = "only stderr can go where stdout goes";
            return false;
    }
    return false;
}

HANDLE Inheritable(const OwnedHandle& handle, std::vector<OwnedHandle>& copies) {
    if (handle.get() == nullptr) {
        return nullptr;
    }
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle.get(), ::GetCurrentProcess(), &copy, 0,
                           TRUE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    copies.emplace_back(copy);
    return copy;
}

}  // namespace

ChildProcess::ChildProcess(std::unique_ptr<System> system) : system_(std::move(system)) {}

std::unique_ptr<ChildProcess> ChildProcess::Start(const ChildOptions& options, std::string* error) {
    if (options.argv.empty()) {
        *error = "no program to start";
        return nullptr;
    }
    if (!options.inherited_descriptors.empty()) {
        *error = "passing descriptors to a child is not available on Windows";
        return nullptr;
    }
    const HANDLE job = ChildrenJob(error);
    if (job == nullptr) {
        return nullptr;
    }
    OwnedHandle in_child, in_parent, out_child, out_parent, err_child, err_parent;
    if (!ChildEnd(options.in, true, &in_child, &in_parent, error) ||
        !ChildEnd(options.out, false, &out_child, &out_parent, error)) {
        return nullptr;
    }
    if (options.err.kind != ChildStream::Kind::kJoinOut) {
        if (options.err.kind == ChildStream::Kind::kInherit) {
            HANDLE copy = nullptr;
            const HANDLE own = ::GetStdHandle(STD_ERROR_HANDLE);
            if (own != nullptr && own != INVALID_HANDLE_VALUE &&
                ::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS)) {
                err_child = OwnedHandle(copy);
            }
        } else if (!ChildEnd(options.err, false, &err_child, &err_parent, error)) {
            return nullptr;
        }
    }

    std::wstring command_line;
    for (const std::string& argument : options.argv) {
        AppendArgument(command_line, Wide(argument));
    }
    const std::wstring program = Wide(options.program.empty() ? options.argv[0] : options.program);
    auto system = std::make_unique<System>();
    static std::atomic<unsigned long> started_count{0};
    const std::string channel = "Local\\vantor-interrupt-" +
                                std::to_string(::GetCurrentProcessId()) + "-" +
                                std::to_string(++started_count);
    system->interrupts =
        OwnedHandle(::CreateSemaphoreW(nullptr, 0, kInterruptsHeld, Wide(channel).c_str()));
    if (system->interrupts.get() == nullptr) {
        *error = LastError("cannot make the child's interrupt channel");
        return nullptr;
    }
    auto changes = options.environment_changes;
    changes.emplace_back(kInterruptChannelVariable, channel);
    std::wstring environment = EnvironmentBlock(changes);

    system->limit = std::max<std::size_t>(options.output_limit_bytes, 1);
    PROCESS_INFORMATION started{};
    {
        std::lock_guard start_lock(g_start_mutex);
        std::vector<OwnedHandle> copies;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = Inheritable(in_child, copies);
        startup.hStdOutput = Inheritable(out_child, copies);
        startup.hStdError = options.err.kind == ChildStream::Kind::kJoinOut
                                ? startup.hStdOutput
                                : Inheritable(err_child, copies);
        // A hidden console of its own, which a Ctrl-C at the parent's console does not reach;
        // suspended until it is in the job.
        const DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | CREATE_SUSPENDED;
        if (!::CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                              environment.data(), nullptr, &startup, &started)) {
            *error = LastError(("cannot start " + Narrow(program)).c_str());
            return nullptr;
        }
    }
    OwnedHandle thread(started.hThread);
    system->process = OwnedHandle(started.hProcess);
    system->id = started.dwProcessId;
    if (!::AssignProcessToJobObject(job, system->process.get())) {
        *error = LastError("cannot put the child into the job object");
        ::TerminateProcess(system->process.get(), kTerminatedBase + static_cast<UINT>(kSigKill));
        ::WaitForSingleObject(system->process.get(), INFINITE);
        return nullptr;
    }
    ::ResumeThread(thread.get());

    ChildState* raw = system.get();
    system->input = std::move(in_parent);
    if (out_parent.get() != nullptr) {
        system->out.piped = true;
        system->out.reader = std::thread(ReadPipe, raw, &raw->out, out_parent.release());
    }
    if (err_parent.get() != nullptr) {
        system->err.piped = true;
        system->err.reader = std::thread(ReadPipe, raw, &raw->err, err_parent.release());
    }
    if (!::RegisterWaitForSingleObject(&system->end_wait, system->process.get(), OnChildEnded, raw,
                                       INFINITE, WT_EXECUTEONLYONCE)) {
        system->end_wait = nullptr;
        // Without the system's word on its end, the readers' ends stand in (checked in waits).
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(system)));
}

ChildProcess::~ChildProcess() {
    if (::WaitForSingleObject(system_->process.get(), 0) != WAIT_OBJECT_0) {
        ::TerminateProcess(system_->process.get(), kTerminatedBase + static_cast<UINT>(kSigKill));
    }
    ::WaitForSingleObject(system_->process.get(), INFINITE);
    if (system_->end_wait != nullptr) {
        ::UnregisterWaitEx(system_->end_wait, INVALID_HANDLE_VALUE);
    }
    system_->input.Reset();
    for (OutputPipe* pipe : {&system_->out, &system_->err}) {
        {
            std::lock_guard lock(g_mutex);
            pipe->discard = true;
            g_changed.notify_all();
        }
        if (pipe->reader.joinable()) {
            // A grandchild may hold the pipe open: the reader's read is cancelled.
            ::CancelSynchronousIo(::pthread_gethandle(pipe->reader.native_handle()));
            pipe->reader.join();
        }
    }
}

long ChildProcess::id() const {
    return static_cast<long>(system_->id);
}

bool ChildProcess::WriteInput(const std::string& bytes, ProcessDeadline deadline) {
    if (system_->input.get() == nullptr) {
        return false;
    }
    // An anonymous pipe has no wait for room: the write runs on a thread of its own, which is
    // cancelled at the deadline.
    const HANDLE input = system_->input.get();
    std::packaged_task<bool()> task([input, &bytes] {
        std::size_t written = 0;
        while (written < bytes.size()) {
            DWORD wrote = 0;
            const auto size =
                static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, kPipeBytes));
            if (!::WriteFile(input, bytes.data() + written, size, &wrote, nullptr)) {
                return false;
            }
            written += wrote;
        }
        return true;
    });
    std::future<bool> done = task.get_future();
    std::thread writer(std::move(task));
    bool ok = false;
    while (done.wait_until(deadline) == std::future_status::timeout) {
        ::CancelSynchronousIo(::pthread_gethandle(writer.native_handle()));
        if (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::timeout) {
            break;
        }
    }
    writer.join();
    ok = done.get() && std::chrono::steady_clock::now() <= deadline;
    return ok;
}

void ChildProcess::CloseInput() {
    system_->input.Reset();
}

void ChildProcess::CloseOutput(OutputStream stream) {
    OutputPipe& pipe = system_->Pipe(stream);
    {
        std::lock_guard lock(g_mutex);
        pipe.discard = true;
        pipe.ended = true;
        pipe.incoming.clear();
        g_changed.notify_all();
    }
    if (pipe.reader.joinable()) {
        ::CancelSynchronousIo(::pthread_gethandle(pipe.reader.native_handle()));
    }
}

const std::string& ChildProcess::Output(OutputStream stream) const {
    std::lock_guard lock(g_mutex);
    system_->GatherLocked();
    return system_->Pipe(stream).data;
}

std::string ChildProcess::TakeOutput(OutputStream stream) {
    std::lock_guard lock(g_mutex);
    system_->GatherLocked();
    OutputPipe& pipe = system_->Pipe(stream);
    pipe.held = 0;
    g_changed.notify_all();
    return std::exchange(pipe.data, {});
}

bool ChildProcess::OutputEnded(OutputStream stream) const {
    std::lock_guard lock(g_mutex);
    const OutputPipe& pipe = system_->Pipe(stream);
    return !pipe.piped || (pipe.ended && pipe.incoming.empty());
}

bool ChildProcess::Signal(int signal_number) {
    if (system_->exit || ::WaitForSingleObject(system_->process.get(), 0) == WAIT_OBJECT_0) {
        return false;
    }
    if (signal_number == SIGINT) {
        return ::ReleaseSemaphore(system_->interrupts.get(), 1, nullptr) != 0;
    }
    if (signal_number == SIGTERM || signal_number == kSigKill) {
        system_->terminated_by = signal_number;
        return ::TerminateProcess(system_->process.get(),
                                  kTerminatedBase + static_cast<UINT>(signal_number)) != 0;
    }
    return false;
}

bool ChildProcess::Kill() {
    return Signal(kSigKill);
}

std::optional<ChildExit> ChildProcess::WaitUntil(ProcessDeadline deadline) {
    std::unique_lock lock(g_mutex);
    for (;;) {
        system_->GatherLocked();
        if (!system_->ended && system_->end_wait == nullptr &&
            ::WaitForSingleObject(system_->process.get(), 0) == WAIT_OBJECT_0) {
            system_->ended = true;
        }
        system_->ReapLocked();
        if (system_->exit) {
            return system_->exit;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        // Without a registered wait the end is looked at now and then.
        g_changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                          std::chrono::milliseconds(100)));
        system_->changed = false;
    }
}

ChildExit ChildProcess::Finish(ProcessDeadline deadline) {
    if (!WaitUntil(deadline)) {
        Kill();
        WaitUntil(std::chrono::steady_clock::now() + kDrainAfterKill);
        deadline = std::chrono::steady_clock::now() + kDrainAfterKill;
    }
    std::unique_lock lock(g_mutex);
    while (!system_->StreamsEndedLocked() && std::chrono::steady_clock::now() < deadline) {
        // The whole of each stream is read: the limit does not hold a finishing child back.
        system_->limit = static_cast<std::size_t>(-1);
        g_changed.notify_all();
        g_changed.wait_until(lock, deadline);
        system_->GatherLocked();
    }
    system_->GatherLocked();
    system_->ended = true;
    system_->ReapLocked();
    return system_->exit.value_or(ChildExit{});
}

ChildExit ChildProcess::Stop(ProcessDeadline deadline) {
    Signal(SIGTERM);
    return Finish(deadline);
}

const std::optional<ChildExit>& ChildProcess::exit() const {
    return system_->exit;
}

void ProcessWaitSet::Add(ChildProcess& child) {
    if (std::find(children_.begin(), children_.end(), &child) == children_.end()) {
        children_.push_back(&child);
    }
}

void ProcessWaitSet::Remove(ChildProcess& child) {
    children_.erase(std::remove(children_.begin(), children_.end(), &child), children_.end());
}

std::vector<ChildProcess*> ProcessWaitSet::Wait(ProcessDeadline deadline) {
    std::vector<ChildProcess*> ready;
    std::unique_lock lock(g_mutex);
    for (;;) {
        for (ChildProcess* child : children_) {
            ChildProcess::System& system = *child->system_;
            if (!system.ended && system.end_wait == nullptr &&
                ::WaitForSingleObject(system.process.get(), 0) == WAIT_OBJECT_0) {
                system.ended = true;
                system.changed = true;
            }
            if (system.changed) {
                system.changed = false;
                system.GatherLocked();
                system.ReapLocked();
                ready.push_back(child);
            }
        }
        if (!ready.empty() || std::chrono::steady_clock::now() >= deadline) {
            return ready;
        }
        g_changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                          std::chrono::milliseconds(100)));
    }
}

void ListenToParentInterruptions() {
    wchar_t name[256];
    const std::wstring variable = Wide(kInterruptChannelVariable);
    const DWORD length = ::GetEnvironmentVariableW(variable.c_str(), name, 256);
    if (length == 0) {
        return;
    }
    ::SetEnvironmentVariableW(variable.c_str(), nullptr);
    if (length >= 256) {
        return;
    }
    // Held for the rest of the process, as the thread that waits on it runs that long.
    const HANDLE channel = ::OpenSemaphoreW(SYNCHRONIZE, FALSE, name);
    if (channel == nullptr) {
        return;
    }
    std::thread([channel] {
        while (::WaitForSingleObject(channel, INFINITE) == WAIT_OBJECT_0) {
            ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        }
    }).detach();
}

DescriptorBudget EnsureDescriptorBudget(long children, long per_child) {
    // Handles have no per-process limit that a few hundred children come near.
    DescriptorBudget budget;
    budget.ok = true;
    budget.needed = children * per_child;
    return budget;
}

}  // namespace vantor::platform
