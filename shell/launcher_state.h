// The launcher's process-wide state, owned by the window's side; a pass gets what it needs of it
// as arguments.
// Fixed-size buffers on purpose: nothing here is ever destroyed, so a worker that is still
// running while the process ends can never touch released memory.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Every text is UTF-8 (the manifest declares it as the code page): a path of MAX_PATH characters
// in any script takes up to 3 bytes a character, a title up to 4 (characters beyond U+FFFF).
const size_t path_buffer_size = 3 * MAX_PATH;
const size_t title_characters = 63;

extern char program_dir[path_buffer_size];        // launcher's folder, ends in "\" when not empty
extern char program_file[path_buffer_size];       // launcher's own file name
extern char base_url[513];                        // update server address, ends in "/" when not empty
extern char window_title[4 * title_characters + 1];  // caption, painted title and message box caption
extern char game_exe[path_buffer_size];           // relative name of the game program; "main.exe" by default
extern int connections;              // downloads at once, 1..8; 4 by default
extern char public_key[64];          // X||Y the update list must be signed with, when has_public_key
extern bool has_public_key;          // launcher.ini names a key: only signed lists are applied
extern bool public_key_broken;       // launcher.ini names a key that is not 64 bytes of base64
extern char backup_key[64];          // X||Y of the studio's offline key, when has_backup_key
extern bool has_backup_key;          // launcher.ini names a BackupKey besides its PublicKey
extern bool backup_key_broken;       // a BackupKey that is not 64 bytes of base64, or without a PublicKey
extern uint64_t min_sequence;        // the oldest signed release to take, from the installer
extern bool min_sequence_broken;     // launcher.ini has a MinSequence that is not a decimal number

extern HANDLE instance_mutex;         // single-instance mutex, null once released; window thread only
// Started again by a new launcher that could not take this one's name: the first pass must not
// hand over once more. Cleared when that pass starts.
extern bool launcher_not_replaced;

extern HWND main_window, info_text, status_line, progress_bar, detail_line;
extern HWND retry_button, start_button, exit_button;

// Made at start-up and kept until the process ends.
extern HBRUSH dark_brush;             // window background without a picture, static panels
extern HBITMAP background_bitmap;     // "launcher.bmp", null when missing or unreadable
extern HFONT normal_font, title_font, small_font;

// program_dir followed by `relative`, with every "/" of the result turned into "\".
std::string local_path(const std::string& relative);
