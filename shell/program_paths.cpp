// The launcher's folder and the server address form.
// Kept free of the platform so that the rules are checked by the portable unit tests.
#include "shell/program_paths.h"

void split_program_path(const std::string& full_path, std::string& dir, std::string& file)
{
    std::string::size_type last = full_path.rfind('\\');
    if (last == std::string::npos) {
        dir.clear();
        file = full_path;
        return;
    }
    dir = full_path.substr(0, last + 1);
    file = full_path.substr(last + 1);
}

std::string base_url_from_setting(const std::string& setting)
{
    if (setting.empty() || setting.back() == '/')
        return setting;
    return setting + "/";
}
