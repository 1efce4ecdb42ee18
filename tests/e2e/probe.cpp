// Looks at and drives the launcher's window from another process, the way a player's mouse and
// eyes would, and ends its processes the way the task manager does, for the end-to-end tests. Each command answers with one JSON object on one line.
// Usage: probe <command> [argument]   or   probe   (reads commands from stdin, one per line)
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static const char launcher_class[] = "Tavrinor_Launcher";
static const char message_box_class[] = "#32770";
static const int id_start = 101;
static const int id_exit = 102;
static const int id_retry = 103;
static const int message_box_text_id = 0xFFFF;
// A window that does not answer a cross-process message within this time counts as hung.
static const UINT answer_timeout_ms = 2000;

// Every control's text is read in UTF-16, whatever code page the probe or the launcher speaks,
// and each unit beyond ASCII becomes a \u escape, so the test reads exactly what the window shows.
static std::string json_text(const std::wstring& text)
{
    std::string out = "\"";
    for (wchar_t unit : text) {
        if (unit == L'"' || unit == L'\\') {
            out += '\\';
            out += static_cast<char>(unit);
        } else if (unit < 0x20 || unit >= 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
            out += escaped;
        } else {
            out += static_cast<char>(unit);
        }
    }
    return out + "\"";
}

// The probe's own names and the class names it compares are ASCII.
static std::string json_text(const std::string& text)
{
    return json_text(std::wstring(text.begin(), text.end()));
}

static const char* json_bool(bool value)
{
    return value ? "true" : "false";
}

static LRESULT ask(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wparam, lparam, SMTO_ABORTIFHUNG, answer_timeout_ms,
                             &result))
        return 0;
    return static_cast<LRESULT>(result);
}

// WM_GETTEXT rather than GetWindowTextW: it reads the control's own idea of its text, and the
// system carries it across the process boundary.
static LRESULT ask_wide(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, answer_timeout_ms, &result))
        return 0;
    return static_cast<LRESULT>(result);
}

static std::wstring window_text(HWND window)
{
    LRESULT length = ask_wide(window, WM_GETTEXTLENGTH, 0, 0);
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 64);
    LRESULT got = ask_wide(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
    if (got <= 0)
        return std::wstring();
    return std::wstring(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
}

static std::string class_of(HWND window)
{
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

static HWND find_launcher()
{
    return FindWindowA(launcher_class, NULL);
}

struct Controls {
    HWND info = NULL, status = NULL, progress = NULL, detail = NULL;
    HWND retry = NULL, start = NULL, exit = NULL;
};

// Buttons by their ids; the three unnamed static controls by their creation order, which is
// the order in which the system keeps the children of a window.
static Controls find_controls(HWND window)
{
    Controls found;
    int statics = 0;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        std::string name = class_of(child);
        int id = GetDlgCtrlID(child);
        if (_stricmp(name.c_str(), "Static") == 0) {
            HWND* slot[] = {&found.info, &found.status, &found.detail};
            if (statics < 3)
                *slot[statics] = child;
            statics++;
        } else if (_stricmp(name.c_str(), PROGRESS_CLASSA) == 0) {
            found.progress = child;
        } else if (id == id_retry) {
            found.retry = child;
        } else if (id == id_start) {
            found.start = child;
        } else if (id == id_exit) {
            found.exit = child;
        }
    }
    return found;
}

static std::string rect_json(const RECT& r)
{
    char text[128];
    snprintf(text, sizeof text, "{\"left\": %ld, \"top\": %ld, \"width\": %ld, \"height\": %ld}",
             r.left, r.top, r.right - r.left, r.bottom - r.top);
    return text;
}

static std::string control_json(HWND control)
{
    if (!control)
        return "null";
    char head[160];
    snprintf(head, sizeof head, "{\"id\": %d, \"visible\": %s, \"enabled\": %s, \"style\": %lu, \"text\": ",
             GetDlgCtrlID(control), json_bool(IsWindowVisible(control)),
             json_bool(IsWindowEnabled(control)),
             static_cast<unsigned long>(GetWindowLongPtrA(control, GWL_STYLE)));
    return head + json_text(window_text(control)) + "}";
}

static std::string progress_json(HWND bar)
{
    if (!bar)
        return "null";
    char text[160];
    snprintf(text, sizeof text, "{\"visible\": %s, \"pos\": %ld, \"min\": %ld, \"max\": %ld}",
             json_bool(IsWindowVisible(bar)), static_cast<long>(ask(bar, PBM_GETPOS, 0, 0)),
             static_cast<long>(ask(bar, PBM_GETRANGE, TRUE, 0)),
             static_cast<long>(ask(bar, PBM_GETRANGE, FALSE, 0)));
    return text;
}

static std::string focus_name(HWND focus, HWND window, const Controls& c)
{
    if (!focus)
        return "null";
    const HWND known[] = {window, c.info, c.status, c.progress, c.detail, c.retry, c.start, c.exit};
    const char* names[] = {"window", "info", "status", "progress", "detail", "retry", "start", "exit"};
    for (size_t i = 0; i < sizeof known / sizeof known[0]; i++)
        if (known[i] == focus)
            return json_text(names[i]);
    return json_text("other:" + class_of(focus));
}

struct BoxSearch {
    HWND owner;
    HWND box;
};

static BOOL CALLBACK match_box(HWND candidate, LPARAM data)
{
    BoxSearch* search = reinterpret_cast<BoxSearch*>(data);
    if (class_of(candidate) == message_box_class && GetWindow(candidate, GW_OWNER) == search->owner &&
        IsWindowVisible(candidate)) {
        search->box = candidate;
        return FALSE;
    }
    return TRUE;
}

static HWND find_box(HWND owner)
{
    BoxSearch search = {owner, NULL};
    EnumWindows(match_box, reinterpret_cast<LPARAM>(&search));
    return search.box;
}

static std::string box_json(HWND box)
{
    if (!box)
        return "null";
    std::wstring text;
    std::string statics = "[";
    std::string buttons = "[";
    // Where the icon is: its handle means nothing outside the box's process, so a test reads
    // its colours from the screen instead.
    std::string icon = "null";
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        std::string name = class_of(child);
        int id = GetDlgCtrlID(child);
        if (_stricmp(name.c_str(), "Button") == 0) {
            if (!IsWindowVisible(child))
                continue;
            if (buttons.size() > 1)
                buttons += ", ";
            char head[48];
            snprintf(head, sizeof head, "{\"id\": %d, \"text\": ", id);
            buttons += head + json_text(window_text(child)) + "}";
        } else if (_stricmp(name.c_str(), "Static") == 0) {
            if ((GetWindowLongPtrA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
                RECT place = {};
                GetWindowRect(child, &place);
                icon = rect_json(place);
                continue;
            }
            std::wstring shown = window_text(child);
            if (id == message_box_text_id)
                text = shown;
            if (statics.size() > 1)
                statics += ", ";
            statics += json_text(shown);
        }
    }
    return "{\"caption\": " + json_text(window_text(box)) + ", \"text\": " + json_text(text) +
           ", \"icon_rect\": " + icon + ", \"buttons\": " + buttons + "], \"statics\": " + statics + "]}";
}

static std::string children_json(HWND window)
{
    std::string out = "[";
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (out.size() > 1)
            out += ", ";
        char head[64];
        snprintf(head, sizeof head, "{\"id\": %d, \"class\": ", GetDlgCtrlID(child));
        out += head + json_text(class_of(child)) + "}";
    }
    return out + "]";
}

static std::string state_json()
{
    HWND window = find_launcher();
    if (!window)
        return "{\"window\": null}";
    Controls c = find_controls(window);
    DWORD pid = 0;
    DWORD thread = GetWindowThreadProcessId(window, &pid);
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    HWND focus = GetGUIThreadInfo(thread, &gui) ? gui.hwndFocus : NULL;
    RECT outer = {};
    GetWindowRect(window, &outer);
    RECT client = {};
    GetClientRect(window, &client);
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    OffsetRect(&client, origin.x, origin.y);
    char head[96];
    snprintf(head, sizeof head, "{\"window\": {\"pid\": %lu, \"visible\": %s, \"enabled\": %s, ",
             static_cast<unsigned long>(pid), json_bool(IsWindowVisible(window)),
             json_bool(IsWindowEnabled(window)));
    return head + std::string("\"foreground\": ") + json_bool(GetForegroundWindow() == window) +
           ", \"caption\": " + json_text(window_text(window)) + ", \"rect\": " + rect_json(outer) +
           ", \"client\": " + rect_json(client) + ", \"focus\": " + focus_name(focus, window, c) +
           ", \"info\": " + control_json(c.info) + ", \"status\": " + control_json(c.status) +
           ", \"detail\": " + control_json(c.detail) + ", \"progress\": " + progress_json(c.progress) +
           ", \"retry\": " + control_json(c.retry) + ", \"start\": " + control_json(c.start) +
           ", \"exit\": " + control_json(c.exit) + ", \"children\": " + children_json(window) +
           ", \"box\": " + box_json(find_box(window)) + "}}";
}

static std::string failure(const std::string& reason)
{
    return "{\"ok\": false, \"error\": " + json_text(reason) + "}";
}

static const char ok_answer[] = "{\"ok\": true}";

// Posted, not sent: a click that opens a message box would otherwise hold the probe until the
// box is answered. A mouse cannot press a hidden or disabled button, so neither can the probe.
static std::string click_button(HWND button)
{
    if (!IsWindowVisible(button))
        return failure("button hidden");
    if (!IsWindowEnabled(button))
        return failure("button disabled");
    PostMessageA(button, BM_CLICK, 0, 0);
    return ok_answer;
}

static std::string click(const char* argument)
{
    HWND window = find_launcher();
    if (!window)
        return failure("no launcher window");
    HWND button = GetDlgItem(window, atoi(argument));
    if (!button)
        return failure("no control with that id");
    return click_button(button);
}

static std::string answer(const char* argument)
{
    HWND window = find_launcher();
    if (!window)
        return failure("no launcher window");
    HWND box = find_box(window);
    if (!box)
        return failure("no message box");
    int id = 0;
    if (strcmp(argument, "yes") == 0)
        id = IDYES;
    else if (strcmp(argument, "no") == 0)
        id = IDNO;
    else if (strcmp(argument, "ok") == 0)
        id = IDOK;
    else
        return failure("answer must be yes, no or ok");
    HWND button = GetDlgItem(box, id);
    if (!button)
        return failure("message box has no such button");
    return click_button(button);
}

// "command <id> [notification code]": a WM_COMMAND as if from a control, posted.
static std::string command(const char* argument)
{
    HWND window = find_launcher();
    if (!window)
        return failure("no launcher window");
    unsigned id = 0;
    unsigned code = 0;
    if (sscanf(argument, "%u %u", &id, &code) < 1)
        return failure("command needs a control id");
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id & 0xFFFF, code & 0xFFFF), 0);
    return ok_answer;
}

// Puts a text of the test's own into the status line, so that a test can see a pass write it.
static std::string set_status(const std::string& text)
{
    HWND window = find_launcher();
    if (!window)
        return failure("no launcher window");
    HWND status = find_controls(window).status;
    if (!status || !ask(status, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())))
        return failure("can't set the status line");
    return ok_answer;
}

static BOOL CALLBACK count_launcher(HWND candidate, LPARAM data)
{
    if (class_of(candidate) == launcher_class)
        ++*reinterpret_cast<int*>(data);
    return TRUE;
}

// How many top-level launcher windows exist, visible or not.
static std::string count_windows()
{
    int windows = 0;
    EnumWindows(count_launcher, reinterpret_cast<LPARAM>(&windows));
    char text[64];
    snprintf(text, sizeof text, "{\"ok\": true, \"windows\": %d}", windows);
    return text;
}

static std::string close_box()
{
    HWND window = find_launcher();
    if (!window)
        return failure("no launcher window");
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    return ok_answer;
}

// A plain window of the probe's own that takes the foreground away from the launcher, so that
// a test can see the launcher come back to the front.
static HWND holder_window;
static HANDLE holder_ready;

static DWORD WINAPI hold_foreground(LPVOID)
{
    holder_window = CreateWindowExA(0, "STATIC", "probe holder", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                    0, 0, 200, 100, NULL, NULL, GetModuleHandleA(NULL), NULL);
    if (holder_window)
        SetForegroundWindow(holder_window);
    SetEvent(holder_ready);
    MSG message;
    while (holder_window && GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
        if (!IsWindow(holder_window))
            break;
    }
    return 0;
}

static std::string take_foreground()
{
    if (holder_window)
        return failure("already holding the foreground");
    holder_ready = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, hold_foreground, NULL, 0, NULL);
    if (!thread)
        return failure("can't start the holder thread");
    CloseHandle(thread);
    WaitForSingleObject(holder_ready, INFINITE);
    if (!holder_window)
        return failure("can't create the holder window");
    char text[96];
    snprintf(text, sizeof text, "{\"ok\": true, \"foreground\": %s}",
             json_bool(GetForegroundWindow() == holder_window));
    return text;
}

static const char launcher_image[] = "launcher.exe";
// A new launcher runs from this name until it has taken the launcher's name over.
static const char successor_image[] = "Launcher.new.exe";
static const DWORD kill_wait_ms = 10000;

// The ids of the running processes started from a file named launcher.exe or Launcher.new.exe;
// a process keeps its image name when its file is moved.
static std::vector<DWORD> launcher_processes()
{
    std::vector<DWORD> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, launcher_image) == 0 ||
            _stricmp(entry.szExeFile, successor_image) == 0)
            found.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return found;
}

static std::string list_launchers()
{
    std::string pids = "[";
    for (DWORD pid : launcher_processes()) {
        if (pids.size() > 1)
            pids += ", ";
        pids += std::to_string(pid);
    }
    return "{\"ok\": true, \"pids\": " + pids + "]}";
}

// Ends every launcher process the way the task manager does (TerminateProcess: no code of the
// process runs any more) and waits until each is gone; answers with the ids ended.
static std::string kill_launchers()
{
    std::string ended = "[";
    for (DWORD pid : launcher_processes()) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (!process)
            continue;
        if (TerminateProcess(process, 1) && WaitForSingleObject(process, kill_wait_ms) == WAIT_OBJECT_0) {
            if (ended.size() > 1)
                ended += ", ";
            ended += std::to_string(pid);
        }
        CloseHandle(process);
    }
    return "{\"ok\": true, \"killed\": " + ended + "]}";
}

static std::string run(const std::string& line)
{
    std::string name = line.substr(0, line.find(' '));
    std::string argument = line.size() > name.size() ? line.substr(name.size() + 1) : "";
    if (name == "state")
        return state_json();
    if (name == "click")
        return click(argument.c_str());
    if (name == "answer")
        return answer(argument.c_str());
    if (name == "command")
        return command(argument.c_str());
    if (name == "close")
        return close_box();
    if (name == "set-status")
        return set_status(argument);
    if (name == "count")
        return count_windows();
    if (name == "take-foreground")
        return take_foreground();
    if (name == "launchers")
        return list_launchers();
    if (name == "kill-launchers")
        return kill_launchers();
    return failure("unknown command");
}

int main(int argc, char** argv)
{
    if (argc > 1) {
        std::string line = argv[1];
        for (int i = 2; i < argc; i++)
            line += std::string(" ") + argv[i];
        std::string answer_text = run(line);
        printf("%s\n", answer_text.c_str());
        return answer_text.rfind("{\"ok\": false", 0) == 0 ? 1 : 0;
    }
    char line[1024];
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = '\0';
        if (strcmp(line, "quit") == 0)
            break;
        printf("%s\n", run(line).c_str());
        fflush(stdout);
    }
    return 0;
}
