// The window procedure of the launcher's window: painting, colours of the static controls, the
// buttons, closing and the end of an update pass. The procedure itself only dispatches.
#include "shell/window_proc.h"

#include "shell/game_start.h"
#include "shell/launcher_state.h"
#include "shell/startup.h"
#include "shell/status.h"

static const COLORREF band_colour = RGB(40, 28, 10);
static const COLORREF title_colour = RGB(255, 204, 26);
static const COLORREF status_colour = RGB(255, 210, 90);
static const COLORREF detail_colour = RGB(170, 170, 170);
static const COLORREF info_colour = RGB(230, 230, 230);

static const int band_height = 56;
static const int title_margin = 20;
static const int title_top = 12;
static const int title_bottom = 50;

static void paint_background_picture(HDC dc, const RECT& client)
{
    HDC picture_dc = CreateCompatibleDC(dc);
    HGDIOBJ previous = SelectObject(picture_dc, background_bitmap);
    BITMAP picture;
    GetObjectA(background_bitmap, sizeof picture, &picture);
    StretchBlt(dc, 0, 0, client.right, client.bottom, picture_dc, 0, 0, picture.bmWidth,
               picture.bmHeight, SRCCOPY);
    SelectObject(picture_dc, previous);
    DeleteDC(picture_dc);
}

static void paint_plain_background(HDC dc, const RECT& client)
{
    FillRect(dc, &client, dark_brush);
    RECT band = {0, 0, client.right, band_height};
    HBRUSH band_brush = CreateSolidBrush(band_colour);
    FillRect(dc, &band, band_brush);
    DeleteObject(band_brush);
}

static void paint_title(HDC dc, const RECT& client)
{
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, title_colour);
    HGDIOBJ previous = SelectObject(dc, title_font);
    RECT title = {title_margin, title_top, client.right - title_margin, title_bottom};
    // GDI's ...A text functions read bytes in the code page of the font's character set, not in
    // the program's: the title is read in the program's code page, as every control reads its
    // text, and painted from UTF-16.
    wchar_t text[sizeof window_title];
    int length = MultiByteToWideChar(CP_ACP, 0, window_title, -1, text, sizeof window_title);
    if (length > 0)
        DrawTextW(dc, text, -1, &title, DT_SINGLELINE | DT_VCENTER);
    SelectObject(dc, previous);
}

// Always paints the whole client area, whatever the update region: the class has no
// background brush, so nothing else ever draws there.
static LRESULT on_paint(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    if (background_bitmap != NULL)
        paint_background_picture(dc, client);
    else
        paint_plain_background(dc, client);
    paint_title(dc, client);
    EndPaint(window, &paint);
    return 0;
}

// The returned brush fills each static control first, so its text sits on a dark panel even
// over the background picture.
static LRESULT on_ctlcolorstatic(HDC dc, HWND control)
{
    SetBkMode(dc, TRANSPARENT);
    if (control == status_line)
        SetTextColor(dc, status_colour);
    else if (control == detail_line)
        SetTextColor(dc, detail_colour);
    else
        SetTextColor(dc, info_colour);
    return reinterpret_cast<LRESULT>(dark_brush);
}

// Acts on the control id alone: the notification code does not matter for push buttons here.
static LRESULT on_command(HWND window, WPARAM wparam)
{
    switch (LOWORD(wparam)) {
    case IDC_START:
        start_game();
        break;
    case IDC_RETRY:
        start_update_pass();
        break;
    case IDC_EXIT:
        // The same road as the close box, question included.
        PostMessageA(window, WM_CLOSE, 0, 0);
        break;
    }
    return 0;
}

// The pass goes on while the question is open; its end is still handled by the box's own
// message loop, and a Yes given afterwards still closes.
static LRESULT on_close(HWND window)
{
    if (update_running != 0) {
        int answer = MessageBoxA(window, "The update is not finished. Close anyway?", window_title,
                                 MB_YESNO | MB_ICONQUESTION);
        if (answer != IDYES)
            return 0;
    }
    DestroyWindow(window);
    return 0;
}

// A window that becomes active gives the focus to itself, also when its pass had already ended
// well and put it on START (a restarted launcher may finish before it is brought to the front).
static LRESULT on_activate(HWND window, WPARAM wparam, LPARAM lparam)
{
    if (LOWORD(wparam) != WA_INACTIVE && focus_start_when_ready())
        return 0;
    return DefWindowProcA(window, WM_ACTIVATE, wparam, lparam);
}

static LRESULT on_update_finished(WPARAM wparam)
{
    finish_update_pass(wparam != 0);
    return 0;
}

// The instance lock is the window thread's alone: a pass asks for it to go or come back.
static LRESULT on_instance_lock(WPARAM hold)
{
    if (hold)
        return retake_instance_mutex();
    release_instance_mutex();
    return 0;
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_PAINT:
        return on_paint(window);
    case WM_CTLCOLORSTATIC:
        return on_ctlcolorstatic(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam));
    case WM_COMMAND:
        return on_command(window, wparam);
    case WM_CLOSE:
        return on_close(window);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_UPDATE_FINISHED:
        return on_update_finished(wparam);
    case WM_ACTIVATE:
        return on_activate(window, wparam, lparam);
    case WM_INSTANCE_LOCK:
        return on_instance_lock(wparam);
    }
    return DefWindowProcA(window, message, wparam, lparam);
}
