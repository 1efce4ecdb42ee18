// The start-up steps that come before the window: single instance, the program's location,
// the configuration file and the brush, picture and fonts that live until the process ends.
#include "shell/startup.h"

#include <cstring>
#include <string>

#include "shell/launcher_state.h"
#include "shell/program_paths.h"
#include "shell/settings_file.h"
#include "shell/window.h"
#include "update_list/base64.h"
#include "update_list/decimal.h"
#include "update_list/utf8_text.h"

static const char instance_mutex_name[] = "Tavrinor_Launcher";
static const int instance_attempts = 20;
static const DWORD instance_retry_ms = 100;

static const char settings_section[] = "Launcher";
static const char default_title[] = "The Legend of Tavrin";
static const size_t url_length_limit = 511;
static const LONGLONG settings_file_limit = 1024 * 1024;

static const COLORREF dark_colour = RGB(16, 16, 20);
static const char font_face[] = "Segoe UI";
static const int normal_font_height = 14;
static const int title_font_height = 26;
static const int small_font_height = 12;

// Copies a text that is known to fit; the buffers are sized for the longest value they take.
static void copy_text(char* target, size_t target_size, const std::string& text)
{
    size_t length = text.size() < target_size ? text.size() : target_size - 1;
    memcpy(target, text.data(), length);
    target[length] = '\0';
}

bool take_instance_mutex()
{
    for (int attempt = 0; attempt < instance_attempts; ++attempt) {
        instance_mutex = CreateMutexA(NULL, TRUE, instance_mutex_name);
        if (instance_mutex == NULL)
            return false;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return true;
        // The other launcher may be just ending (a restart after self-replacement): wait for it.
        CloseHandle(instance_mutex);
        instance_mutex = NULL;
        Sleep(instance_retry_ms);
    }
    return false;
}

void release_instance_mutex()
{
    if (instance_mutex != NULL)
        CloseHandle(instance_mutex);
    instance_mutex = NULL;
}

// One attempt: no other launcher can have started in between but one the player started, and
// that one may keep the lock.
bool retake_instance_mutex()
{
    if (instance_mutex != NULL)
        return true;
    instance_mutex = CreateMutexA(NULL, TRUE, instance_mutex_name);
    if (instance_mutex != NULL && GetLastError() == ERROR_ALREADY_EXISTS)
        release_instance_mutex();
    return instance_mutex != NULL;
}

void bring_running_launcher_forward()
{
    HWND other = FindWindowA(main_window_class, NULL);
    // Windows may refuse the foreground to a process that has no recent input and only flash
    // the other launcher's taskbar button; wine always grants it.
    if (other != NULL)
        SetForegroundWindow(other);
}

// Windows' file functions take paths of fewer than MAX_PATH characters; a longer folder leaves no
// room for any file of the game.
bool find_program_location()
{
    char module_path[path_buffer_size];
    DWORD length = GetModuleFileNameA(NULL, module_path, path_buffer_size);
    // A path that fills the buffer was cut (and comes back unterminated on older Windows).
    if (length == 0 || length >= path_buffer_size)
        return false;
    module_path[length] = '\0';
    if (utf8_prefix_size(module_path, length, MAX_PATH - 1) < length)
        return false;

    std::string dir;
    std::string file;
    split_program_path(module_path, dir, file);
    copy_text(program_dir, sizeof program_dir, dir);
    copy_text(program_file, sizeof program_file, file);
    return true;
}

// The file's bytes, empty when it is missing, unreadable or larger than any settings file.
static std::string read_settings_file(const std::string& path)
{
    std::string bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart <= settings_file_limit) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        if (!bytes.empty() && (!ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, NULL) ||
                               got != bytes.size()))
            bytes.clear();
    }
    CloseHandle(file);
    return bytes;
}

// A public key setting, 64 bytes X||Y in base64: true with `key` filled when there is one that
// decodes, `broken` set when there is one that does not.
static bool read_key_setting(const std::string& text, const char* name, char (&key)[64], bool& broken)
{
    std::string key_text = setting_value(text, settings_section, name);
    std::string decoded;
    if (key_text.empty())
        return false;
    if (decode_base64(key_text.data(), key_text.size(), decoded) && decoded.size() == sizeof key) {
        memcpy(key, decoded.data(), sizeof key);
        return true;
    }
    broken = true;
    return false;
}

void read_configuration()
{
    std::string text = settings_text(read_settings_file(std::string(program_dir) + "launcher.ini"));

    std::string url = setting_value(text, settings_section, "Url");
    url.resize(url.size() < url_length_limit ? url.size() : url_length_limit);
    copy_text(base_url, sizeof base_url, base_url_from_setting(url));

    // The title is cut at a character, never inside one.
    std::string title = setting_value(text, settings_section, "Title");
    if (title.empty())
        title = default_title;
    title.resize(utf8_prefix_size(title.data(), title.size(), title_characters));
    copy_text(window_title, sizeof window_title, title);

    connections = connections_from_setting(setting_value(text, settings_section, "Connections"));

    // A floor that can't be read as a number never lowers itself to 0: it stops every pass.
    std::string floor_text = setting_value(text, settings_section, "MinSequence");
    if (!floor_text.empty() && !read_decimal_digits(floor_text.data(), floor_text.size(), min_sequence))
        min_sequence_broken = true;

    // A key that does not decode to 64 bytes never turns the check off: it stops every pass. So
    // does a backup key without a working key, which would leave the lists unchecked.
    has_public_key = read_key_setting(text, "PublicKey", public_key, public_key_broken);
    has_backup_key = read_key_setting(text, "BackupKey", backup_key, backup_key_broken);
    if (has_backup_key && !has_public_key && !public_key_broken) {
        has_backup_key = false;
        backup_key_broken = true;
    }
}

static HFONT create_font(int height, int weight)
{
    // A negative height asks the font mapper for that character height.
    return CreateFontA(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, font_face);
}

void create_drawing_resources()
{
    dark_brush = CreateSolidBrush(dark_colour);

    std::string picture_path = std::string(program_dir) + "launcher.bmp";
    background_bitmap = static_cast<HBITMAP>(
        LoadImageA(NULL, picture_path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));

    normal_font = create_font(normal_font_height, FW_NORMAL);
    title_font = create_font(title_font_height, FW_BOLD);
    small_font = create_font(small_font_height, FW_NORMAL);
}
