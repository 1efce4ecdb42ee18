// The process-wide state and the mapping of list paths to paths in the launcher's folder.
#include "shell/launcher_state.h"

#include "update_list/local_path.h"

char program_dir[path_buffer_size];
char program_file[path_buffer_size];
char base_url[513];
char window_title[4 * title_characters + 1] = "The Legend of Tavrin";
char game_exe[path_buffer_size] = "main.exe";
int connections = 4;
char public_key[64];
bool has_public_key;
bool public_key_broken;
char backup_key[64];
bool has_backup_key;
bool backup_key_broken;
uint64_t min_sequence;
bool min_sequence_broken;

HANDLE instance_mutex;
bool launcher_not_replaced;

HWND main_window, info_text, status_line, progress_bar, detail_line;
HWND retry_button, start_button, exit_button;

HBRUSH dark_brush;
HBITMAP background_bitmap;
HFONT normal_font, title_font, small_font;

std::string local_path(const std::string& relative)
{
    return join_local_path(program_dir, relative);
}
