// The window's lines and buttons during a pass: status and detail texts, the progress bar, the
// start of a pass on a detached worker thread and the button modes that a pass's start and end set.
#include "shell/status.h"

#include <commctrl.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/update_pass.h"
#include "shell/launcher_state.h"
#include "shell/window_observer.h"
#include "update_list/utf8_text.h"

volatile LONG update_running;

// Outcome of the last pass; touched only on the main thread.
static bool last_pass_ok;

// 511 characters of up to 4 bytes each in UTF-8.
static const size_t text_characters = 511;
static const size_t text_limit = 4 * text_characters + 1;

// Formats with msvcrt's _vsnprintf, whose rules the texts are written for; a text that does not
// fit is cut at 511 characters, never inside one, and always terminated.
static void set_control_text(HWND control, const char* format, va_list args)
{
    char text[text_limit];
    _vsnprintf(text, text_limit - 1, format, args);
    text[text_limit - 1] = '\0';
    text[utf8_prefix_size(text, strlen(text), text_characters)] = '\0';
    SetWindowTextA(control, text);
}

void set_status(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    set_control_text(status_line, format, args);
    va_end(args);
}

void set_detail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    set_control_text(detail_line, format, args);
    va_end(args);
}

void set_progress(unsigned position)
{
    SendMessageA(progress_bar, PBM_SETPOS, position, 0);
}

// What the pass needs of the launcher's settings, read once here on the window's thread.
static PassJob* new_pass_job()
{
    PassJob* job = new PassJob;
    job->settings.folder = program_dir;
    job->settings.launcher_file = program_file;
    job->settings.base_url = base_url;
    job->settings.connections = connections;
    job->settings.may_replace_launcher = !launcher_not_replaced;
    launcher_not_replaced = false;
    if (has_public_key)
        job->settings.public_key.assign(public_key, sizeof public_key);
    if (has_backup_key)
        job->settings.backup_key.assign(backup_key, sizeof backup_key);
    job->settings.min_sequence = min_sequence;
    job->observer = window_observer();
    return job;
}

void start_update_pass()
{
    if (InterlockedExchange(&update_running, 1) != 0)
        return;
    EnableWindow(start_button, FALSE);
    ShowWindow(retry_button, SW_HIDE);
    SetWindowTextA(start_button, "START");
    PassJob* job = new_pass_job();
    HANDLE worker = CreateThread(NULL, 0, update_worker, job, 0, NULL);
    if (worker == NULL) {
        // Without a worker nobody would ever end the pass: end it here as failed, so RETRY
        // comes back instead of a window stuck with START disabled.
        delete job;
        PostMessageA(main_window, WM_UPDATE_FINISHED, 0, 0);
        return;
    }
    // The worker runs detached; nothing waits for it.
    CloseHandle(worker);
}

bool focus_start_when_ready()
{
    if (!last_pass_ok || update_running != 0)
        return false;
    SetFocus(start_button);
    return true;
}

void finish_update_pass(bool succeeded)
{
    InterlockedExchange(&update_running, 0);
    last_pass_ok = succeeded;
    EnableWindow(start_button, TRUE);
    SetWindowTextA(start_button, last_pass_ok ? "START" : "START anyway");
    if (!last_pass_ok) {
        ShowWindow(retry_button, SW_SHOW);
        return;
    }
    SetFocus(start_button);
}
