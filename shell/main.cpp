// The program's entry: start-up in its fixed order, the message loop, and the end of the process.
#include <windows.h>

#include "engine/internet_session.h"
#include "engine/release_install.h"
#include "engine/self_update.h"
#include "shell/launcher_state.h"
#include "shell/startup.h"
#include "shell/status.h"
#include "shell/window.h"
#include "shell/window_observer.h"

static const UINT exit_code = 0;

static void run_message_loop()
{
    MSG message;
    // GetMessageA gives -1 on an error; that ends the loop too rather than spinning on it.
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (IsDialogMessageA(main_window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// An update pass may still run here: the worker is detached and never waited for. Returning
// from WinMain would run the runtime's exit handlers and static destructors while it may still
// use process-wide texts and handles, and ExitProcess would kill it possibly while it holds a
// runtime lock (heap, stdio) that those handlers then wait for. TerminateProcess ends every
// thread at once and runs no handler or destructor; a download cut short this way leaves its
// data in its ".part" file only.
static void end_process()
{
    close_internet_session();
    release_instance_mutex();
    TerminateProcess(GetCurrentProcess(), exit_code);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR arguments, int show_state)
{
    // A new launcher started to take over the launcher's name does only that. A folder whose path
    // is too long is never touched: every file the launcher would make there would fail.
    bool located = find_program_location();
    if (located) {
        LauncherStart start = start_launcher_process(program_dir, program_file, arguments);
        if (start == LauncherStart::take_over)
            return exit_code;
        launcher_not_replaced = start == LauncherStart::not_replaced;
    }
    if (!take_instance_mutex()) {
        bring_running_launcher_forward();
        return exit_code;
    }
    if (located)
        read_configuration();
    init_control_classes();
    create_drawing_resources();
    register_main_window_class(instance);
    create_main_window(instance);
    ShowWindow(main_window, show_state);
    UpdateWindow(main_window);

    const char* no_pass_reason = NULL;
    if (!located)
        no_pass_reason = "The game folder's path is too long - can't check for updates.";
    else if (base_url[0] == '\0')
        no_pass_reason = "launcher.ini has no Url= - can't check for updates.";
    else if (public_key_broken)
        no_pass_reason = "launcher.ini has a broken PublicKey= - can't check for updates.";
    else if (backup_key_broken)
        no_pass_reason = "launcher.ini has a broken BackupKey= - can't check for updates.";
    else if (min_sequence_broken)
        no_pass_reason = "launcher.ini has a broken MinSequence= - can't check for updates.";
    // Without a pass, the switch an earlier launcher left is finished here, before START may run.
    if (no_pass_reason == NULL) {
        start_update_pass();
    } else if (!located) {
        // Without its folder the launcher can neither update nor start the game: only EXIT is left.
        set_status("%s", no_pass_reason);
    } else {
        if (finish_interrupted_install(program_dir, window_observer()))
            set_status("%s", no_pass_reason);
        EnableWindow(start_button, TRUE);
    }

    run_message_loop();
    end_process();
    return exit_code;
}
