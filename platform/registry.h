// The registry store: keys holding named plain string values, kept in one text file. It offers
// the operations the settings and the port map need: open a key for full access, create or open
// a key, read a value into a bounded buffer, set or delete a value, close the key.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>

#include "platform/result.h"

namespace vantor::platform {

// The store's file: $VANTOR_REGISTRY, else $XDG_CONFIG_HOME/vantor/registry, else
// ~/.config/vantor/registry.
std::string RegistryFilePath();

// The largest store file that is read; a larger file is not a store.
inline constexpr std::size_t kMaxRegistryBytes = 64 * 1024;

// The key that holds the port map, with the values COM1 to COM4.
inline constexpr const char* kPortsKey = "SOFTWARE\\Halvren\\Vantor\\Ports";

// An open key. It names the key only; every read looks at the file as it is now, so a value
// another instance wrote in the meantime is seen.
struct RegistryKey {
    std::string Name;
    bool Open = false;
};

class Registry {
  public:
    using Values = std::map<std::string, std::string>;
    using Keys = std::map<std::string, Values>;

    // What a write does with a file that is not a store: move it aside once (and say so on
    // stderr), so that the new store takes its place, or keep it as it is and fail.
    enum class DamagedFile { SetAside, Keep };

    explicit Registry(std::string file_path = RegistryFilePath(),
                      DamagedFile damaged = DamagedFile::SetAside);

    // Opens an existing key for reading and writing. Fails when the key does not exist or the
    // store may not be written by this user.
    std::optional<RegistryKey> OpenKey(const std::string& key) const;
    // Opens an existing key for reading only: a store this user may not write still answers.
    std::optional<RegistryKey> OpenKeyForReading(const std::string& key) const;
    // Opens the key, creating it (empty) when it does not exist.
    std::optional<RegistryKey> CreateKey(const std::string& key) const;
    // The value's text when it exists and its stored bytes fit `buffer_bytes`; the text ends at
    // its first zero byte. A value that does not fit counts as absent.
    std::optional<std::string> QueryValue(const RegistryKey& key, const std::string& name,
                                          std::size_t buffer_bytes) const;
    // Stores the value's bytes as given. Returns false when the store could not be written.
    // Every write changes only the line of its value (and adds its key's line when needed):
    // comments, blank lines and the other lines stay as they were.
    bool SetValue(const RegistryKey& key, const std::string& name, const std::string& data) const;
    // Removes the value, keeping every other one. Returns false when the store could not be
    // written; a value that is not there is already removed.
    bool DeleteValue(const RegistryKey& key, const std::string& name) const;
    static void CloseKey(RegistryKey& key) { key.Open = false; }

    const std::string& FilePath() const { return file_path_; }

    // Succeeds when the store's file reads (a missing file is an empty store); fails, with a
    // sentence, when it cannot be read as a store (it is not a regular file, it is too large,
    // it may not be read, or a line of it is not the store's: the line and what is wrong). A
    // caller that must not go on without the store's values (a download's port map) asks first.
    Result<void> CheckReadable() const;

  private:
    // The store's keys (a missing file is an empty store), or why the file cannot be read as a
    // store; the reading calls take such a file for an empty store. Reading never renames,
    // locks or changes the file.
    Result<Keys> Load() const;
    // The writing calls' one edit, made under the lock on the file as it is then: the value
    // `name` set to `data` or removed (no data); without a name, the key made when missing.
    bool Edit(const std::string& key, const std::optional<std::string>& name,
              const std::optional<std::string>& data) const;

    std::string file_path_;
    DamagedFile damaged_;
};

// The text form of the store, and its reading. Parsing fails on any line it does not
// understand, so a damaged file is never taken for a smaller store; the failure names the line
// and what is wrong with it. Lines may end in CR LF, blank lines and lines beginning with
// "#" are skipped, and an empty text is an empty store.
std::string FormatRegistry(const Registry::Keys& keys);
Result<Registry::Keys> ParseRegistry(const std::string& text);

// The stored device address of COM<number> (1 to 4) from the port map key, or nothing when it
// has none; a failure says why the store cannot be read.
Result<std::optional<std::string>> StoredPortAddress(int number);

}  // namespace vantor::platform
