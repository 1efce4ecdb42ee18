// The launcher's one window: its class, the window itself and its seven child controls, with
// the progress range and the fonts they start with.
#include "shell/window.h"

#include <commctrl.h>

#include "shell/launcher_state.h"
#include "shell/status.h"
#include "shell/window_proc.h"

const char main_window_class[] = "Tavrinor_Launcher";
static const WORD icon_resource_id = 1;

// Caption, system menu and minimize box: neither resizable nor maximizable.
static const DWORD main_window_style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
static const int client_width = 520;
static const int client_height = 360;

static const LPARAM progress_max = 1000;

void init_control_classes()
{
    INITCOMMONCONTROLSEX classes;
    classes.dwSize = sizeof classes;
    classes.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&classes);
}

void register_main_window_class(HINSTANCE instance)
{
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = main_window_proc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(icon_resource_id));
    if (window_class.hIcon == NULL)
        window_class.hIcon = LoadIconA(NULL, IDI_APPLICATION);
    window_class.hCursor = LoadCursorA(NULL, IDC_ARROW);
    // No background brush: WM_PAINT covers the whole client area, so nothing flickers.
    window_class.lpszClassName = main_window_class;
    RegisterClassA(&window_class);
}

static HWND create_control(HINSTANCE instance, const char* class_name, const char* text,
                           DWORD style, int x, int y, int width, int height, int id)
{
    return CreateWindowExA(0, class_name, text, style, x, y, width, height, main_window,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, NULL);
}

static void create_controls(HINSTANCE instance)
{
    // Creation order is also the order in which the dialog keyboard handling walks them.
    info_text = create_control(instance, "STATIC", "Welcome!", WS_CHILD | WS_VISIBLE,
                               20, 70, 480, 150, 0);
    status_line = create_control(instance, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_ENDELLIPSIS,
                                 20, 236, 480, 20, 0);
    progress_bar = create_control(instance, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE,
                                  20, 260, 480, 18, 0);
    detail_line = create_control(instance, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_PATHELLIPSIS,
                                 20, 282, 480, 18, 0);
    retry_button = create_control(instance, "BUTTON", "RETRY", WS_CHILD | BS_PUSHBUTTON,
                                  140, 312, 100, 34, IDC_RETRY);
    start_button = create_control(instance, "BUTTON", "START",
                                  WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_DEFPUSHBUTTON,
                                  250, 312, 140, 34, IDC_START);
    exit_button = create_control(instance, "BUTTON", "EXIT", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON,
                                 400, 312, 100, 34, IDC_EXIT);
}

static void set_font(HWND control, HFONT font)
{
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void create_main_window(HINSTANCE instance)
{
    RECT outer = {0, 0, client_width, client_height};
    AdjustWindowRect(&outer, main_window_style, FALSE);
    int width = outer.right - outer.left;
    int height = outer.bottom - outer.top;
    // Integer division toward zero: a window larger than the screen gets a negative position.
    int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    main_window = CreateWindowExA(0, main_window_class, window_title, main_window_style,
                                  left, top, width, height, NULL, NULL, instance, NULL);

    create_controls(instance);

    SendMessageA(progress_bar, PBM_SETRANGE32, 0, progress_max);
    set_font(info_text, normal_font);
    set_font(status_line, normal_font);
    set_font(retry_button, normal_font);
    set_font(start_button, normal_font);
    set_font(exit_button, normal_font);
    set_font(detail_line, small_font);
}
