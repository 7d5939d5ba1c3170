#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "platform/win/child_setup.h"
#include "platform/win/system_message.h"

namespace vantor::platform {

namespace {

// The size the pipes are asked for; the system may round it.
constexpr DWORD kPipeBytes = 64 * 1024;

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

// A copy of one of this process's handles, not inheritable; none when it has none.
OwnedHandle CopyOf(HANDLE own) {
    HANDLE copy = nullptr;
    if (own == nullptr || own == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return {};
    }
    return OwnedHandle(copy);
}

}  // namespace

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

std::string LastErrorText(const std::string& what) {
    return what + ": " + SystemMessage(::GetLastError());
}

std::wstring CommandLine(const std::vector<std::string>& argv) {
    std::wstring line;
    for (const std::string& argument : argv) {
        AppendArgument(line, Wide(argument));
    }
    return line;
}

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
        std::erase_if(entries,
                      [&](const std::wstring& entry) { return SameName(entry, wide_name); });
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

ChildrenJob TheChildrenJob() {
    static const ChildrenJob made = [] {
        ChildrenJob made_now;
        HANDLE created = ::CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (created != nullptr &&
            !::SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                       sizeof limits)) {
            ::CloseHandle(created);
            created = nullptr;
        }
        if (created == nullptr) {
            made_now.error = LastErrorText("cannot make a job object for the children");
        }
        made_now.job = created;
        return made_now;
    }();
    return made;
}

StreamEnds ConnectStream(const ChildStream& stream, DWORD standard_handle) {
    const bool input = standard_handle == STD_INPUT_HANDLE;
    StreamEnds ends;
    switch (stream.kind) {
        case ChildStream::Kind::kInherit:
            ends.child = CopyOf(::GetStdHandle(standard_handle));  // none: the child has none
            return ends;
        case ChildStream::Kind::kNull:
        case ChildStream::Kind::kFile: {
            const bool null = stream.kind == ChildStream::Kind::kNull;
            const std::wstring path = null ? L"NUL" : Wide(stream.path);
            ends.child = OwnedHandle(::CreateFileW(
                path.c_str(), input ? GENERIC_READ : GENERIC_WRITE,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                input || null ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (ends.child.get() == nullptr) {
                ends.error = LastErrorText("cannot open " + Narrow(path));
            }
            return ends;
        }
        case ChildStream::Kind::kPipe: {
            HANDLE read_end = nullptr, write_end = nullptr;
            if (!::CreatePipe(&read_end, &write_end, nullptr, kPipeBytes)) {
                ends.error = LastErrorText("cannot make a pipe");
                return ends;
            }
            ends.child = OwnedHandle(input ? read_end : write_end);
            ends.parent = OwnedHandle(input ? write_end : read_end);
            return ends;
        }
        case ChildStream::Kind::kDescriptor:
            ends.child = CopyOf(reinterpret_cast<HANDLE>(::_get_osfhandle(stream.descriptor)));
            if (ends.child.get() == nullptr) {
                ends.error = "descriptor " + std::to_string(stream.descriptor) + " is not open";
            }
            return ends;
        case ChildStream::Kind::kTerminal:
            ends.error = "a child on a pseudo-terminal is not available on Windows";
            return ends;
        case ChildStream::Kind::kJoinOut:
            ends.error = "only stderr can go where stdout goes";
            return ends;
    }
    ends.error = "an unknown kind of stream";
    return ends;
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

}  // namespace vantor::platform
