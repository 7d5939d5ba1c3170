#include "platform/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "platform/invariant.h"
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

// The store's text as it is now, for a writer that holds the lock ("" for a missing file).
// A damaged regular file is moved aside once when `damaged` says so (the store written next
// takes its place), else left as it is. Nothing when the file must not be replaced: it exists
// but cannot be read, is not a regular file, is damaged and kept, or cannot be kept aside.
std::optional<std::string> LoadLocked(const std::string& path, Registry::DamagedFile damaged) {
    StoreFileText file = ReadStoreFile(path, kMaxRegistryBytes);
    switch (file.state) {
        case StoreFileState::Missing:
            return std::string();
        case StoreFileState::Unreadable:
            return std::nullopt;
        case StoreFileState::NotAStore:
            // Only a regular file is ever moved: a device or a FIFO is not the operator's store.
            if (!IsRegularFile(path)) {
                return std::nullopt;
            }
            break;
        case StoreFileState::Read:
            if (ParseRegistry(file.text)) {
                return std::move(file.text);
            }
            break;
    }
    if (damaged == Registry::DamagedFile::Keep || !MoveAside(path)) {
        return std::nullopt;
    }
    return std::string();
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

namespace {

// One line of the store's file as it stands, so that a write changes only the line of its value
// and keeps the rest (comments, blank lines, a key written by hand) as the operator left it.
struct StoreLine {
    enum class Kind { Header, Other, Key, Value };
    std::string raw;  // the line's bytes, without its line feed
    Kind kind = Kind::Other;
    std::string key;   // a key line's key, or the key of a value line
    std::string name;  // a value line's name
    std::string data;  // a value line's data
};

// A write: the value `name` set to `data`, or removed when there is no data; without a name it
// only makes sure that the key is there.
struct StoreEdit {
    std::optional<std::string> name;
    std::optional<std::string> data;
};

// One line of the store read (the first is `first`; a value belongs to the key `current`), or
// what is wrong with it.
Result<StoreLine> ReadStoreLine(const std::string& raw, bool first,
                                const std::optional<std::string>& current) {
    StoreLine entry;
    entry.raw = raw;
    std::string line = raw;
    // A file edited on another system ends its lines with CR LF.
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (first) {
        if (line != kHeaderLine) {
            return Failure{std::string("the first line is not \"") + kHeaderLine + "\""};
        }
        entry.kind = StoreLine::Kind::Header;
    } else if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') {
        entry.kind = StoreLine::Kind::Other;
    } else if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
        const auto key = Unescape(line.substr(1, line.size() - 2), LoneBackslash::Literal);
        if (!key) {
            return Failure{"a broken \\xHH escape or a control character in the key"};
        }
        entry.kind = StoreLine::Kind::Key;
        entry.key = *key;
    } else {
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            return Failure{"neither [KEY] nor NAME=VALUE"};
        }
        if (!current) {
            return Failure{"a value before the first [KEY] line"};
        }
        const auto name = Unescape(line.substr(0, equals));
        const auto data = Unescape(line.substr(equals + 1));
        if (!name || !data) {
            return Failure{"a broken \\xHH escape or a control character"};
        }
        entry.kind = StoreLine::Kind::Value;
        entry.key = *current;
        entry.name = *name;
        entry.data = *data;
    }
    return entry;
}

Result<std::vector<StoreLine>> ParseStoreLines(const std::string& text) {
    std::vector<StoreLine> lines;
    // A new empty file is an empty store.
    if (text.empty()) {
        return lines;
    }
    std::size_t begin = 0;
    int number = 0;
    // The key of the values that follow; none before the first key line.
    std::optional<std::string> current;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        end = end == std::string::npos ? text.size() : end;
        ++number;
        Result<StoreLine> entry =
            ReadStoreLine(text.substr(begin, end - begin), number == 1, current);
        begin = end + 1;
        if (!entry) {
            return Failure{"line " + std::to_string(number) + ": " + entry.reason()};
        }
        if (entry->kind == StoreLine::Kind::Key) {
            current = entry->key;
        }
        lines.push_back(std::move(*entry));
    }
    return lines;
}

}  // namespace

Result<Registry::Keys> ParseRegistry(const std::string& text) {
    const auto lines = ParseStoreLines(text);
    if (!lines) {
        return Failure{lines.reason()};
    }
    Registry::Keys keys;
    for (const StoreLine& line : *lines) {
        if (line.kind == StoreLine::Kind::Key) {
            keys[line.key];
        } else if (line.kind == StoreLine::Kind::Value) {
            keys[line.key][line.name] = line.data;
        }
    }
    return keys;
}

namespace {

// The store's text with one edit made; `text` must be a store.
std::string EditStoreText(const std::string& text, const std::string& key, const StoreEdit& edit) {
    auto parsed = ParseStoreLines(text);
    VANTOR_ASSERT(static_cast<bool>(parsed));
    std::vector<StoreLine>& lines = *parsed;
    // New lines end as the file's first line does.
    const bool crlf =
        !lines.empty() && !lines.front().raw.empty() && lines.front().raw.back() == '\r';
    const std::string cr = crlf ? "\r" : "";
    if (lines.empty()) {
        lines.push_back({kHeaderLine, StoreLine::Kind::Header, "", "", ""});
    }
    const auto is_key = [&key](const StoreLine& line) {
        return line.kind == StoreLine::Kind::Key && line.key == key;
    };
    const auto is_value = [&key, &edit](const StoreLine& line) {
        return line.kind == StoreLine::Kind::Value && line.key == key && line.name == *edit.name;
    };
    // Where a value of the key goes: after the last value of its last section, else right
    // after the section's key line; the end when the key has no line yet.
    std::size_t place = lines.size();
    bool key_present = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (is_key(lines[i])) {
            key_present = true;
            place = i + 1;
        } else if (lines[i].kind == StoreLine::Kind::Value && lines[i].key == key) {
            place = i + 1;
        }
    }
    // Removing a value never makes its key.
    if (!key_present && (!edit.name || edit.data)) {
        lines.push_back({"[" + Escape(key) + "]" + cr, StoreLine::Kind::Key, key, "", ""});
        place = lines.size();
    }
    if (edit.name) {
        // The last line of the value is the one that counts; it is replaced where it stands and
        // the earlier ones go.
        std::size_t last = lines.size();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            last = is_value(lines[i]) ? i : last;
        }
        if (edit.data && last < lines.size()) {
            lines[last].raw = Escape(*edit.name, Field::Name) + "=" + Escape(*edit.data) + cr;
            lines[last].kind = StoreLine::Kind::Other;  // written as it is, kept by the erase
        } else if (edit.data) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(place),
                         {Escape(*edit.name, Field::Name) + "=" + Escape(*edit.data) + cr,
                          StoreLine::Kind::Value, key, "", *edit.data});
        }
        lines.erase(std::remove_if(lines.begin(), lines.end(), is_value), lines.end());
    }
    std::string out;
    for (const StoreLine& line : lines) {
        out += line.raw;
        out += '\n';
    }
    return out;
}

}  // namespace

Registry::Registry(std::string file_path, DamagedFile damaged)
    : file_path_(std::move(file_path)), damaged_(damaged) {}

Result<Registry::Keys> Registry::Load() const {
    const StoreFileText file = ReadStoreFile(file_path_, kMaxRegistryBytes);
    switch (file.state) {
        case StoreFileState::Missing:
            return Keys{};
        case StoreFileState::Read: {
            auto keys = ParseRegistry(file.text);
            if (!keys) {
                return Failure{
                    CannotRead(file_path_, "it is not a settings store (" + keys.reason() + ")")};
            }
            return std::move(*keys);
        }
        case StoreFileState::Unreadable:
        case StoreFileState::NotAStore:
            break;
    }
    return Failure{CannotRead(file_path_, file.why)};
}

Result<void> Registry::CheckReadable() const {
    if (auto keys = Load(); !keys) {
        return Failure{keys.reason()};
    }
    return {};
}

bool Registry::Edit(const std::string& key, const std::optional<std::string>& name,
                    const std::optional<std::string>& data) const {
    MakeFolders(ParentFolder(file_path_));
    StoreLock lock(file_path_);
    if (!lock.Held()) {
        return false;
    }
    const std::optional<std::string> text = LoadLocked(file_path_, damaged_);
    if (!text) {
        return false;
    }
    const std::string edited = EditStoreText(*text, key, StoreEdit{name, data});
    return edited == *text || static_cast<bool>(WriteFileAtomically(file_path_, edited));
}

std::optional<RegistryKey> Registry::OpenKeyForReading(const std::string& key) const {
    const Keys keys = Load().ValueOr(Keys{});
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
    if (!Edit(key, std::nullopt, std::nullopt)) {
        return std::nullopt;
    }
    return RegistryKey{key, true};
}

std::optional<std::string> Registry::QueryValue(const RegistryKey& key, const std::string& name,
                                                std::size_t buffer_bytes) const {
    if (!key.Open) {
        return std::nullopt;
    }
    const Keys keys = Load().ValueOr(Keys{});
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
    return key.Open && Edit(key.Name, name, data);
}

bool Registry::DeleteValue(const RegistryKey& key, const std::string& name) const {
    return key.Open && Edit(key.Name, name, std::nullopt);
}

Result<std::optional<std::string>> StoredPortAddress(int number) {
    // Spelled out: a Result made from std::nullopt would hold no value at all, a failure.
    const std::optional<std::string> none;
    if (number < 1 || number > 4) {
        return none;
    }
    const Registry registry;
    if (Result<void> readable = registry.CheckReadable(); !readable) {
        return Failure{readable.reason()};
    }
    auto key = registry.OpenKeyForReading(kPortsKey);
    if (!key) {
        return none;
    }
    auto address = registry.QueryValue(*key, "COM" + std::to_string(number), 4096);
    Registry::CloseKey(*key);
    return address;
}

}  // namespace vantor::platform
