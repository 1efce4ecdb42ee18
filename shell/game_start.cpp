// The START action: finishes a switch a failed move left, checks that the game program is there,
// starts it detached in the launcher's folder and closes the launcher, or tells the player why it
// could not.
#include "shell/game_start.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/release_install.h"
#include "shell/launcher_state.h"
#include "shell/window_observer.h"

static void report_missing_game()
{
    std::string text = std::string("Can't find ") + game_exe +
                       ". Press RETRY to download the game files.";
    MessageBoxA(main_window, text.c_str(), window_title, MB_ICONWARNING | MB_OK);
}

// The text holds the whole relative name, however long it is.
static void report_start_failure(DWORD error)
{
    char code[32];
    snprintf(code, sizeof code, "%lu", static_cast<unsigned long>(error));
    std::string text = std::string("Can't start ") + game_exe + " (error " + code + ").";
    MessageBoxA(main_window, text.c_str(), window_title, MB_ICONERROR | MB_OK);
}

// A switch whose move failed (the game took a file in the meantime) must not leave the game to
// run on files of two releases: it is finished first, or the game does not start and the status
// says which file is held.
void start_game()
{
    if (!finish_interrupted_install(program_dir, window_observer()))
        return;
    std::string path = local_path(game_exe);
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        report_missing_game();
        return;
    }

    // The quoted path alone is the command line; CreateProcessA may write into that buffer,
    // so it must not be a constant.
    std::string quoted = "\"" + path + "\"";
    std::vector<char> command_line(quoted.begin(), quoted.end());
    command_line.push_back('\0');

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(path.c_str(), command_line.data(), NULL, NULL, FALSE, 0, NULL,
                        program_dir, &startup, &process)) {
        report_start_failure(GetLastError());
        return;
    }
    // The launcher never waits for the game or talks to it.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    PostMessageA(main_window, WM_CLOSE, 0, 0);
}
