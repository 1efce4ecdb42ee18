// The launcher's own reader of "launcher.ini". Windows' profile functions take a file without a
// byte order mark in the player's code page and keep a UTF-8 mark as part of the first line, so
// the launcher reads the file itself and gets the same values from every editor's encodings.
#include "shell/settings_file.h"

#include "update_list/utf8_text.h"

static const char utf8_mark[] = "\xEF\xBB\xBF";
static const char utf16le_mark[] = "\xFF\xFE";

std::string settings_text(const std::string& file_bytes)
{
    if (file_bytes.compare(0, 3, utf8_mark) == 0)
        return file_bytes.substr(3);
    if (file_bytes.compare(0, 2, utf16le_mark) == 0)
        return utf8_from_utf16le(file_bytes.data() + 2, file_bytes.size() - 2);
    return file_bytes;
}

static std::string trimmed(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end + 1 - begin);
}

static bool same_name(const std::string& name, const char* wanted)
{
    size_t i = 0;
    for (; i < name.size() && wanted[i] != '\0'; ++i) {
        char a = name[i];
        char b = wanted[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return i == name.size() && wanted[i] == '\0';
}

std::string setting_value(const std::string& text, const char* section, const char* key)
{
    bool inside = false;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = trimmed(text.substr(at, end - at));
        at = end + 1;
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            inside = close != std::string::npos && same_name(trimmed(line.substr(1, close - 1)), section);
            continue;
        }
        size_t equals = line.find('=');
        if (!inside || equals == std::string::npos || !same_name(trimmed(line.substr(0, equals)), key))
            continue;
        std::string value = trimmed(line.substr(equals + 1));
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return std::string();
}
