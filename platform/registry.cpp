#include "platform/registry.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "platform/store_file.h"

namespace vantor::platform {

namespace {

constexpr const char* kHeaderLine = "VantorRegistry 1";

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

enum class Field { KeyOrValue, Name };

// Bytes that would confuse the line format, or that an editor would mangle, go as \xHH. A
// name also escapes what would end it ("=") or make its line a comment or a key.
bool NeedsEscape(unsigned char byte, Field field) {
    if (byte < 0x20 || byte >= 0x7F || byte == '\\') {
        return true;
    }
    return field == Field::Name && (byte == '=' || byte == '#' || byte == '[');
}

std::string Escape(const std::string& raw, Field field = Field::KeyOrValue) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        if (NeedsEscape(byte, field)) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// How a backslash that does not begin "\xHH" is read.
enum class LoneBackslash { Broken, Literal };

// Undoes Escape; nothing for a broken escape or a raw control character. A key name is written
// by hand the natural way ("SOFTWARE\Halvren\Vantor\Ports"), so in a key a backslash that
// does not begin "\xHH" stands for itself.
std::optional<std::string> Unescape(const std::string& text,
                                    LoneBackslash lone_backslash = LoneBackslash::Broken) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\') {
            // A hand-edited file may hold "=", brackets or non-ASCII text as they are; only
            // control characters cannot have come from a sound file or an editor.
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7F) {
                return std::nullopt;
            }
            out += c;
            continue;
        }
        const bool escape = i + 3 < text.size() && text[i + 1] == 'x' &&
                            HexDigit(text[i + 2]) >= 0 && HexDigit(text[i + 3]) >= 0;
        if (!escape) {
            if (lone_backslash == LoneBackslash::Broken) {
                return std::nullopt;
            }
            out += c;
            continue;
        }
        const int high = HexDigit(text[i + 2]);
        const int low = HexDigit(text[i + 3]);
        out += static_cast<char>(high * 16 + low);
        i += 3;
    }
    return out;
}

std::string CannotRead(const std::string& path, const std::string& why) {
    return "the settings store \"" + path + "\" cannot be read: " + why;
}

// The store as it is now, for a writer that holds the lock: a damaged regular file is moved
// aside, once (the store written next takes its place). Nothing when the file exists but
// cannot be read, is not a regular file or cannot be kept aside, so that it is not overwritten.
std::optional<Registry::Keys> LoadLocked(const std::string& path) {
    std::string text;
    std::string why;
    switch (ReadStoreFile(path, kMaxRegistryBytes, text, why)) {
        case StoreFileState::Missing:
            return Registry::Keys{};
        case StoreFileState::Unreadable:
            return std::nullopt;
        case StoreFileState::NotAStore:
            // Only a regular file is ever moved: a device or a FIFO is not the operator's store.
            if (!IsRegularFile(path)) {
                return std::nullopt;
            }
            break;
        case StoreFileState::Read:
            if (auto keys = ParseRegistry(text)) {
                return keys;
            }
            break;
    }
    // A damaged file that cannot be kept aside is left alone, and writes fail rather than
    // replace it.
    if (!MoveAside(path)) {
        return std::nullopt;
    }
    return Registry::Keys{};
}

}  // namespace

std::string RegistryFilePath() {
    if (std::string path = EnvOrEmpty("VANTOR_REGISTRY"); !path.empty()) {
        return path;
    }
    return DefaultStorePath();
}

std::string FormatRegistry(const Registry::Keys& keys) {
    // Appended piece by piece: each piece is copied once.
    std::string text = kHeaderLine;
    text += '\n';
    for (const auto& [key, values] : keys) {
        text += '[';
        text += Escape(key);
        text += "]\n";
        for (const auto& [name, data] : values) {
            text += Escape(name, Field::Name);
            text += '=';
            text += Escape(data);
            text += '\n';
        }
    }
    return text;
}

std::optional<Registry::Keys> ParseRegistry(const std::string& text, std::string* problem) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    // A file edited on another system ends its lines with CR LF.
    const auto next_line = [&in, &line, &number] {
        if (!std::getline(in, line)) {
            return false;
        }
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        return true;
    };
    const auto refuse = [&problem, &number](const std::string& why) {
        if (problem != nullptr) {
            *problem = "line " + std::to_string(number) + ": " + why;
        }
        return std::nullopt;
    };
    // A new empty file is an empty store.
    if (text.empty()) {
        return Registry::Keys{};
    }
    if (!next_line() || line != kHeaderLine) {
        return refuse(std::string("the first line is not \"") + kHeaderLine + "\"");
    }
    Registry::Keys keys;
    Registry::Values* current = nullptr;
    while (next_line()) {
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
            const auto key = Unescape(line.substr(1, line.size() - 2), LoneBackslash::Literal);
            if (!key) {
                return refuse("a broken \\xHH escape or a control character in the key");
            }
            current = &keys[*key];
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            return refuse("neither [KEY] nor NAME=VALUE");
        }
        if (current == nullptr) {
            return refuse("a value before the first [KEY] line");
        }
        const auto name = Unescape(line.substr(0, equals));
        const auto data = Unescape(line.substr(equals + 1));
        if (!name || !data) {
            return refuse("a broken \\xHH escape or a control character");
        }
        (*current)[*name] = *data;
    }
    return keys;
}

Registry::Registry(std::string file_path) : file_path_(std::move(file_path)) {}

Registry::Keys Registry::Load(std::string* problem) const {
    std::string text;
    std::string why;
    switch (ReadStoreFile(file_path_, kMaxRegistryBytes, text, why)) {
        case StoreFileState::Missing:
            return {};
        case StoreFileState::Read:
            if (auto keys = ParseRegistry(text, &why)) {
                return *keys;
            }
            why = "it is not a settings store (" + why + ")";
            break;
        case StoreFileState::Unreadable:
        case StoreFileState::NotAStore:
            break;
    }
    if (problem != nullptr) {
        *problem = CannotRead(file_path_, why);
    }
    return {};
}

std::optional<std::string> Registry::Problem() const {
    std::string problem;
    Load(&problem);
    if (problem.empty()) {
        return std::nullopt;
    }
    return problem;
}

bool Registry::Write(const Keys& keys) const {
    return WriteFileAtomically(file_path_, FormatRegistry(keys));
}

std::optional<RegistryKey> Registry::OpenKeyForReading(const std::string& key) const {
    const Keys keys = Load();
    if (keys.find(key) == keys.end()) {
        return std::nullopt;
    }
    return RegistryKey{key, true};
}

std::optional<RegistryKey> Registry::OpenKey(const std::string& key) const {
    if (!OpenKeyForReading(key)) {
        return std::nullopt;
    }
    // Full access includes writing: the file and its folder (for the rename) must allow it.
    if (!Writable(file_path_) || !Writable(ParentFolder(file_path_))) {
        return std::nullopt;
    }
    return RegistryKey{key, true};
}

std::optional<RegistryKey> Registry::CreateKey(const std::string& key) const {
    if (auto opened = OpenKey(key)) {
        return opened;
    }
    MakeFolders(ParentFolder(file_path_));
    StoreLock lock(file_path_);
    if (!lock.Held()) {
        return std::nullopt;
    }
    auto keys = LoadLocked(file_path_);
    if (!keys) {
        return std::nullopt;
    }
    if (keys->find(key) == keys->end()) {
        (*keys)[key];
        if (!Write(*keys)) {
            return std::nullopt;
        }
    }
    return RegistryKey{key, true};
}

std::optional<std::string> Registry::QueryValue(const RegistryKey& key, const std::string& name,
                                                std::size_t buffer_bytes) const {
    if (!key.Open) {
        return std::nullopt;
    }
    const Keys keys = Load();
    const auto found_key = keys.find(key.Name);
    if (found_key == keys.end()) {
        return std::nullopt;
    }
    const auto found = found_key->second.find(name);
    if (found == found_key->second.end() || found->second.size() > buffer_bytes) {
        return std::nullopt;
    }
    const std::string& data = found->second;
    return data.substr(0, data.find('\0'));
}

bool Registry::SetValue(const RegistryKey& key, const std::string& name,
                        const std::string& data) const {
    if (!key.Open) {
        return false;
    }
    MakeFolders(ParentFolder(file_path_));
    StoreLock lock(file_path_);
    if (!lock.Held()) {
        return false;
    }
    auto keys = LoadLocked(file_path_);
    if (!keys) {
        return false;
    }
    (*keys)[key.Name][name] = data;
    return Write(*keys);
}

bool Registry::DeleteValue(const RegistryKey& key, const std::string& name) const {
    if (!key.Open) {
        return false;
    }
    StoreLock lock(file_path_);
    if (!lock.Held()) {
        return false;
    }
    auto keys = LoadLocked(file_path_);
    if (!keys) {
        return false;
    }
    const auto found = keys->find(key.Name);
    if (found == keys->end() || found->second.erase(name) == 0) {
        return true;
    }
    return Write(*keys);
}

std::optional<std::string> StoredPortAddress(int number, std::string* problem) {
    if (number < 1 || number > 4) {
        return std::nullopt;
    }
    const Registry registry;
    if (auto why = registry.Problem()) {
        if (problem != nullptr) {
            *problem = *why;
        }
        return std::nullopt;
    }
    auto key = registry.OpenKeyForReading(kPortsKey);
    if (!key) {
        return std::nullopt;
    }
    auto address = registry.QueryValue(*key, "COM" + std::to_string(number), 4096);
    Registry::CloseKey(*key);
    return address;
}

}  // namespace vantor::platform
