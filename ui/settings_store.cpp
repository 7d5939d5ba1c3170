#include "ui/settings_store.h"

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

}  // namespace vantor::ui
