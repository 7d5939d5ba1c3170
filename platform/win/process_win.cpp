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
#include <windows.h>
// After windows.h, whose types they use.
#include <psapi.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>
#include <thread>

#include "platform/process.h"
#include "platform/win/child_setup.h"
#include "platform/win/interrupt_channel.h"

namespace vantor::platform {

namespace {

// What a reader takes from its pipe at a time.
constexpr DWORD kReadChunk = 64 * 1024;
// The most that one write to a child's stdin pipe hands the system.
constexpr DWORD kWriteChunk = 64 * 1024;
// After a child was killed, how long its pipes get to come to their end (a grandchild that kept
// them open would hold them for ever).
constexpr auto kDrainAfterKill = std::chrono::seconds(5);
// A child ended by TerminateProcess for `signal` exits with this status.
constexpr UINT kTerminatedBase = 128;
// Interruptions that a child's channel holds before it has taken them.
constexpr LONG kInterruptsHeld = 64;

// One lock and one condition for every child's threads: a reader that has read, a reader at its
// pipe's end, and a child that has ended all wake whoever waits on any child.
std::mutex g_mutex;
std::condition_variable g_changed;
// Children are started one at a time, with their ends of the pipes inheritable only meanwhile,
// so that no child inherits another's pipes (which would hold them open past that one's end).
std::mutex g_start_mutex;

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

// The child's three standard streams, or why one of them could not be had.
struct ChildStreams {
    StreamEnds in;
    StreamEnds out;
    StreamEnds err;
    bool err_joins_out = false;  // stderr goes where stdout goes
    std::string error;
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

    // Takes the parent's ends of the child's streams: a reader thread for each output pipe, and
    // a registered wait for the child's end.
    void Watch(ChildStreams& streams);

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

ChildStreams ConnectStreams(const ChildOptions& options) {
    ChildStreams streams;
    streams.in = ConnectStream(options.in, STD_INPUT_HANDLE);
    streams.out = ConnectStream(options.out, STD_OUTPUT_HANDLE);
    streams.err_joins_out = options.err.kind == ChildStream::Kind::kJoinOut;
    if (!streams.err_joins_out) {
        streams.err = ConnectStream(options.err, STD_ERROR_HANDLE);
    }
    for (const StreamEnds* ends : {&streams.in, &streams.out, &streams.err}) {
        if (streams.error.empty()) {
            streams.error = ends->error;
        }
    }
    return streams;
}

// The semaphore a child hears SIGINT through, by a name of its own that goes into the child's
// environment; or why it could not be made.
struct InterruptChannel {
    OwnedHandle semaphore;
    std::string name;
    std::string error;
};

InterruptChannel MakeInterruptChannel() {
    static std::atomic<unsigned long> made_count{0};
    InterruptChannel channel;
    channel.name = "Local\\vantor-interrupt-" + std::to_string(::GetCurrentProcessId()) + "-" +
                   std::to_string(++made_count);
    channel.semaphore =
        OwnedHandle(::CreateSemaphoreW(nullptr, 0, kInterruptsHeld, Wide(channel.name).c_str()));
    if (channel.semaphore.get() == nullptr) {
        channel.error = LastErrorText("cannot make the child's interrupt channel");
    }
    return channel;
}

struct Launched {
    PROCESS_INFORMATION info{};
    std::string error;  // why it did not start
};

// Starts the child suspended, on a hidden console of its own (which a Ctrl-C at the parent's
// console does not reach), with the child's ends of `streams` as its standard streams.
Launched LaunchSuspended(const ChildOptions& options, std::wstring environment,
                         const ChildStreams& streams) {
    std::wstring command_line = CommandLine(options.argv);
    const std::wstring program = Wide(options.program.empty() ? options.argv[0] : options.program);
    Launched launched;
    // Children start one at a time, with their ends of the pipes inheritable only meanwhile.
    std::lock_guard start_lock(g_start_mutex);
    std::vector<OwnedHandle> copies;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = Inheritable(streams.in.child, copies);
    startup.hStdOutput = Inheritable(streams.out.child, copies);
    startup.hStdError =
        streams.err_joins_out ? startup.hStdOutput : Inheritable(streams.err.child, copies);
    const DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | CREATE_SUSPENDED;
    if (!::CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                          environment.data(), nullptr, &startup, &launched.info)) {
        launched.error = LastErrorText("cannot start " + Narrow(program));
    }
    return launched;
}

}  // namespace

ChildProcess::ChildProcess(std::unique_ptr<System> system) : system_(std::move(system)) {}

void ChildProcess::System::Watch(ChildStreams& streams) {
    input = std::move(streams.in.parent);
    for (auto [pipe, ends] : {std::pair{&out, &streams.out}, std::pair{&err, &streams.err}}) {
        if (ends->parent.get() != nullptr) {
            pipe->piped = true;
            pipe->reader = std::thread(ReadPipe, this, pipe, ends->parent.release());
        }
    }
    if (!::RegisterWaitForSingleObject(&end_wait, process.get(), OnChildEnded, this, INFINITE,
                                       WT_EXECUTEONLYONCE)) {
        end_wait = nullptr;
        // Without the system's word on its end, the readers' ends stand in (checked in waits).
    }
}

Result<std::unique_ptr<ChildProcess>> ChildProcess::Spawn(const ChildOptions& options) {
    if (!options.inherited_descriptors.empty()) {
        return Failure{"passing descriptors to a child is not available on Windows"};
    }
    const ChildrenJob job = TheChildrenJob();
    ChildStreams streams = ConnectStreams(options);
    InterruptChannel channel = MakeInterruptChannel();
    for (const std::string& why : {job.error, streams.error, channel.error}) {
        if (!why.empty()) {
            return Failure{why};
        }
    }
    auto changes = options.environment_changes;
    changes.emplace_back(kInterruptChannelVariable, channel.name);
    const Launched launched = LaunchSuspended(options, EnvironmentBlock(changes), streams);
    if (!launched.error.empty()) {
        return Failure{launched.error};
    }
    auto system = std::make_unique<System>();
    system->limit = std::max<std::size_t>(options.output_limit_bytes, 1);
    system->interrupts = std::move(channel.semaphore);
    OwnedHandle thread(launched.info.hThread);
    system->process = OwnedHandle(launched.info.hProcess);
    system->id = launched.info.dwProcessId;
    // Suspended until it is in the job, so that no child escapes the job's end.
    if (!::AssignProcessToJobObject(job.job, system->process.get())) {
        Failure failure{LastErrorText("cannot put the child into the job object")};
        ::TerminateProcess(system->process.get(), kTerminatedBase + static_cast<UINT>(kKillSignal));
        ::WaitForSingleObject(system->process.get(), INFINITE);
        return failure;
    }
    ::ResumeThread(thread.get());
    system->Watch(streams);
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(system)));
}

ChildProcess::~ChildProcess() {
    if (::WaitForSingleObject(system_->process.get(), 0) != WAIT_OBJECT_0) {
        ::TerminateProcess(system_->process.get(),
                           kTerminatedBase + static_cast<UINT>(kKillSignal));
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
                static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, kWriteChunk));
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
    if (signal_number == SIGTERM || signal_number == kKillSignal) {
        system_->terminated_by = signal_number;
        return ::TerminateProcess(system_->process.get(),
                                  kTerminatedBase + static_cast<UINT>(signal_number)) != 0;
    }
    return false;
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

DescriptorBudget EnsureDescriptorBudget(long children, long per_child) {
    // Handles have no per-process limit that a few hundred children come near.
    DescriptorBudget budget;
    budget.ok = true;
    budget.needed = children * per_child;
    return budget;
}

}  // namespace vantor::platform
