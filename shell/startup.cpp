// The start-up steps that come before the window: single instance, the program's location,
// the configuration file and the brush, picture and fonts that live until the process ends.
#include "shell/startup.h"

#include <cstring>
#include <string>

#include "shell/launcher_state.h"
#include "shell/program_paths.h"
#include "shell/window.h"
#include "update_list/base64.h"
#include "update_list/decimal.h"

static const char instance_mutex_name[] = "Tavrinor_Launcher";
static const int instance_attempts = 20;
static const DWORD instance_retry_ms = 100;

static const char settings_section[] = "Launcher";
static const DWORD url_buffer_size = 512;
static const DWORD key_buffer_size = 512;

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

void find_program_location()
{
    char module_path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, module_path, MAX_PATH);
    // A path that fills the buffer comes back unterminated on older Windows.
    if (length >= MAX_PATH)
        length = MAX_PATH - 1;
    module_path[length] = '\0';

    std::string dir;
    std::string file;
    split_program_path(module_path, dir, file);
    copy_text(program_dir, sizeof program_dir, dir);
    copy_text(program_file, sizeof program_file, file);
}

// A public key setting, 64 bytes X||Y in base64: true with `key` filled when there is one that
// decodes, `broken` set when there is one that does not.
static bool read_key_setting(const std::string& ini_path, const char* name, char (&key)[64], bool& broken)
{
    char text[key_buffer_size];
    GetPrivateProfileStringA(settings_section, name, "", text, key_buffer_size, ini_path.c_str());
    std::string decoded;
    if (text[0] == '\0')
        return false;
    if (decode_base64(text, strlen(text), decoded) && decoded.size() == sizeof key) {
        memcpy(key, decoded.data(), sizeof key);
        return true;
    }
    broken = true;
    return false;
}

void read_configuration()
{
    // An absolute path: the profile reader would otherwise look in the Windows folder.
    std::string ini_path = std::string(program_dir) + "launcher.ini";

    char url[url_buffer_size];
    GetPrivateProfileStringA(settings_section, "Url", "", url, url_buffer_size, ini_path.c_str());
    copy_text(base_url, sizeof base_url, base_url_from_setting(url));

    GetPrivateProfileStringA(settings_section, "Title", "The Legend of Tavrin", window_title,
                             sizeof window_title, ini_path.c_str());

    char connections_text[url_buffer_size];
    GetPrivateProfileStringA(settings_section, "Connections", "", connections_text, url_buffer_size,
                             ini_path.c_str());
    connections = connections_from_setting(connections_text);

    // A floor that can't be read as a number never lowers itself to 0: it stops every pass.
    char floor_text[key_buffer_size];
    GetPrivateProfileStringA(settings_section, "MinSequence", "", floor_text, key_buffer_size, ini_path.c_str());
    if (floor_text[0] != '\0' && !read_decimal_digits(floor_text, strlen(floor_text), min_sequence))
        min_sequence_broken = true;

    // A key that does not decode to 64 bytes never turns the check off: it stops every pass. So
    // does a backup key without a working key, which would leave the lists unchecked.
    has_public_key = read_key_setting(ini_path, "PublicKey", public_key, public_key_broken);
    has_backup_key = read_key_setting(ini_path, "BackupKey", backup_key, backup_key_broken);
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
