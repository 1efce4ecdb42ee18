// The START action: runs the game program from the launcher's folder and closes the launcher.
#pragma once

// Finishes a switch left under way (the status says why when it can't, and nothing starts), then
// starts local_path(game_exe) with the launcher's folder as working directory and posts WM_CLOSE
// to main_window; a missing or unstartable program is reported in a message box instead.
void start_game();
