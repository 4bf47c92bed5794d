#include "cli/settings_input.h"

#include <cerrno>
#include <cstring>
#include <fstream>

std::optional<UnitParameters> read_settings(const std::string& path, std::istream& in, std::string* error) {
    std::ifstream file;
    std::istream* source = &in;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file) {
            *error = "cannot open settings file '" + path + "': " + std::strerror(errno);
            return std::nullopt;
        }
        source = &file;
    }
    // One byte more than a settings file may have tells a file that is too
    // large, without reading all of it.
    std::string text(kMaxSettingsFileSize + 1, '\0');
    source->read(text.data(), static_cast<std::streamsize>(text.size()));
    if (source->bad()) {
        *error = "cannot read settings file '" + path + "'";
        return std::nullopt;
    }
    text.resize(static_cast<size_t>(source->gcount()));
    std::string fault;
    auto settings = parse_settings_file(text, &fault);
    if (!settings) {
        *error = "settings file '" + path + "': " + fault;
    }
    return settings;
}
