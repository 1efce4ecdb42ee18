// The launcher's folder, the server address form and the number of connections.
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

static const int default_connections = 4;
static const int most_connections = 8;

// A player who writes "fast" gets the default, not a single connection; "-2" and "99" are numbers
// and get the nearest count allowed.
int connections_from_setting(const std::string& setting)
{
    size_t digits = setting.size() > 1 && setting[0] == '-' ? 1 : 0;
    if (digits == setting.size() || setting.find_first_not_of("0123456789", digits) != std::string::npos)
        return default_connections;
    if (digits == 1)
        return 1;
    size_t significant = setting.find_first_not_of('0');
    if (significant == std::string::npos)
        return 1;
    if (setting.size() - significant > 1)
        return most_connections;
    int wanted = setting[significant] - '0';
    return wanted > most_connections ? most_connections : wanted;
}
