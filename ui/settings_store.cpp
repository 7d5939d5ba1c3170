#include "ui/settings_store.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/registry.h"

namespace vantor::ui {

void WriteSetting(const std::string& name, const std::string& text) {
    // A damaged store stays as it is: the operator has been told, and its port map is kept.
    const platform::Registry registry(platform::RegistryFilePath(),
                                      platform::Registry::DamagedFile::Keep);
    auto key = registry.CreateKey(kSettingsKey);
    if (!key) {
        return;
    }
    registry.SetValue(*key, name, text);
    platform::Registry::CloseKey(*key);
}

int SpecificAddressFromAddr(const std::string& text) {
    return (text.empty() ? 0 : static_cast<signed char>(text[0])) - 1;
}

int UseSpecificAddressFromAddren(const std::string& text) {
    return text.empty() ? 0 : static_cast<signed char>(text[0]) - '0';
}

std::string AddrText(int specific_address) {
    const char code = static_cast<char>(specific_address + 1);
    // A zero code would end the stored text at once: store nothing instead.
    return code == '\0' ? std::string() : std::string(1, code);
}

std::string DefaultFilesListPath() {
    std::filesystem::path folder;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data != '\0') {
        folder = data;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::filesystem::path(home != nullptr ? home : "") / ".local" / "share";
    }
    folder /= "vantor";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return std::filesystem::absolute(folder / "flist.txt", ignored).string();
}

}  // namespace vantor::ui
