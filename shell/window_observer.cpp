// The window's side of an update pass: the pass's texts go to the controls through the setters,
// its message to the information text, its game program to START, and its end to the window.
#include "shell/window_observer.h"

#include <cstdio>
#include <string>

#include "shell/launcher_state.h"
#include "shell/status.h"

static void show_status_text(void*, const char* text)
{
    set_status("%s", text);
}

static void show_detail_text(void*, const char* text)
{
    set_detail("%s", text);
}

static void show_position(void*, unsigned position)
{
    set_progress(position);
}

// Static controls break lines only at CR LF.
static void show_news(void*, const char* text)
{
    std::string converted;
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at == '\n')
            converted += '\r';
        converted += *at;
    }
    SetWindowTextA(info_text, converted.c_str());
}

// START is disabled while a pass runs, so the window never reads this while it changes.
static void take_game_program(void*, const char* relative_name)
{
    snprintf(game_exe, sizeof(game_exe), "%s", relative_name);
}

// The window's thread owns the lock; this waits until it has given it up or taken it back.
static void change_instance_lock(void*, bool hold)
{
    SendMessageA(main_window, WM_INSTANCE_LOCK, hold ? 1 : 0, 0);
}

// After a restart the flag is cleared first, so the window closes without asking whether to stop
// the update.
static void end_pass(void*, PassEnd end)
{
    if (end == PassEnd::restarted) {
        InterlockedExchange(&update_running, 0);
        PostMessageA(main_window, WM_CLOSE, 0, 0);
        return;
    }
    PostMessageA(main_window, WM_UPDATE_FINISHED, end == PassEnd::succeeded ? 1 : 0, 0);
}

PassObserver window_observer()
{
    return PassObserver{NULL,      show_status_text,  show_detail_text,      show_position,
                        show_news, take_game_program, change_instance_lock, end_pass};
}
