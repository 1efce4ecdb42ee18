// The shared ground of the Windows-side tests: the server's files through wine's Z: drive, fresh
// launcher folders, and controls that record every text and bar position they are given.
#include "tests/win/test_support.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "delta/block_map.h"
#include "digest/md5.h"
#include "shell/launcher_state.h"
#include "shell/status.h"

WindowLog window_log;

static std::map<HWND, WNDPROC> original_procs;

static std::string environment(const char* name)
{
    const char* value = getenv(name);
    if (value == NULL) {
        fprintf(stderr, "%s is not set: run the tests through tests/server/with_server.py\n", name);
        exit(2);
    }
    return value;
}

static LRESULT CALLBACK recording_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_SETTEXT) {
        std::string text = reinterpret_cast<const char*>(lparam);
        if (window == status_line)
            window_log.status.push_back(text);
        else if (window == detail_line)
            window_log.detail.push_back(text);
        else if (window == info_text)
            window_log.info.push_back(text);
    } else if (message == PBM_SETPOS && window == progress_bar) {
        window_log.progress.push_back(unsigned(wparam));
    } else if (message == WM_INSTANCE_LOCK && window == main_window) {
        window_log.lock.push_back({wparam, window_log.status.size()});
        return 1;
    }
    return CallWindowProcA(original_procs[window], window, message, wparam, lparam);
}

// Message-only windows: they need no display, so the tests run under a bare wine as well.
static HWND make_control(const char* class_name)
{
    HWND control = CreateWindowExA(0, class_name, "", 0, 0, 0, 100, 20, HWND_MESSAGE, NULL,
                                   GetModuleHandleA(NULL), NULL);
    if (control == NULL) {
        fprintf(stderr, "can't create a %s window\n", class_name);
        exit(2);
    }
    original_procs[control] = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recording_proc)));
    return control;
}

static void make_window_once()
{
    if (main_window != NULL)
        return;
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    main_window = make_control("STATIC");
    status_line = make_control("STATIC");
    detail_line = make_control("STATIC");
    info_text = make_control("STATIC");
    progress_bar = make_control(PROGRESS_CLASSA);
    SendMessageA(progress_bar, PBM_SETRANGE32, 0, 1000);
}

void reset_window_log()
{
    make_window_once();
    collect_finished_messages();
    window_log = WindowLog();
}

void collect_finished_messages()
{
    MSG message;
    while (PeekMessageA(&message, main_window, WM_UPDATE_FINISHED, WM_UPDATE_FINISHED, PM_REMOVE))
        window_log.finished.push_back(message.wParam);
}

static void record_status(void*, const char* text)
{
    window_log.status.push_back(text);
}

static void record_detail(void*, const char* text)
{
    window_log.detail.push_back(text);
}

static void record_progress(void*, unsigned position)
{
    window_log.progress.push_back(position);
}

static void record_news(void*, const char* text)
{
    window_log.info.push_back(text);
}

static void ignore_text(void*, const char*) {}

static void ignore_lock(void*, bool) {}

static void record_end(void*, PassEnd end)
{
    window_log.finished.push_back(end == PassEnd::succeeded ? 1 : 0);
}

PassObserver recording_observer()
{
    return PassObserver{NULL,        record_status, record_detail, record_progress,
                        record_news, ignore_text,   ignore_lock,   record_end};
}

static void record_checked(void* context, size_t checked, size_t count)
{
    static_cast<SinkLog*>(context)->push_back({checked, count});
}

static void record_received(void* context, uint64_t on_hand, uint64_t arrived)
{
    static_cast<SinkLog*>(context)->push_back({on_hand, arrived});
}

CheckSink recording_check_sink(SinkLog& log)
{
    return CheckSink{record_checked, &log};
}

TransferSink recording_transfer_sink(SinkLog& log)
{
    return TransferSink{record_received, &log};
}

std::string fresh_game_folder()
{
    static int counter;
    char name[64];
    snprintf(name, sizeof(name), "\\launcher-%d-%lu\\", ++counter, GetCurrentProcessId());
    std::string dir = environment("UPDATE_TEST_WORK") + name;
    CreateDirectoryA(dir.c_str(), NULL);
    set_rules("{}");
    clear_request_log();
    reset_window_log();
    return dir;
}

std::string server_url()
{
    return "http://127.0.0.1:" + environment("UPDATE_SERVER_PORT") + "/";
}

HINTERNET test_session()
{
    static HINTERNET session =
        InternetOpenA("Tavrinor-Launcher/1.0", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    return session;
}

DownloadSource test_source(const std::string& folder)
{
    return DownloadSource{test_session(), server_url(), folder};
}

static void make_parent_folders(const std::string& path)
{
    for (size_t i = 3; i < path.size(); ++i) {
        if (path[i] == '\\')
            CreateDirectoryA(path.substr(0, i).c_str(), NULL);
    }
}

void serve_file(const std::string& relative, const std::string& content)
{
    std::string path = environment("UPDATE_SERVER_ROOT") + "\\" + relative;
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    make_parent_folders(path);
    write_file(path, content);
}

void set_rules(const std::string& json)
{
    write_file(environment("UPDATE_SERVER_RULES"), json);
}

void clear_request_log()
{
    write_file(environment("UPDATE_SERVER_LOG"), "");
}

std::vector<std::string> request_log()
{
    std::string text;
    read_file(environment("UPDATE_SERVER_LOG"), text);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (line.find("\"path\": ") != std::string::npos)
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> requests_for(const std::string& path)
{
    std::string needle = "\"path\": \"" + path + "\",";
    std::vector<std::string> found;
    for (const std::string& line : request_log()) {
        if (line.find(needle) != std::string::npos)
            found.push_back(line);
    }
    return found;
}

static std::vector<uint64_t> logged_bytes_sent_for(const std::string& path)
{
    std::string text;
    read_file(environment("UPDATE_SERVER_LOG"), text);
    std::string needle = "{\"sent_for\": \"" + path + "\",";
    std::string count = "\"bytes\": ";
    std::vector<uint64_t> sent;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        size_t number = text.find(count, at) + count.size();
        sent.push_back(_strtoui64(text.c_str() + number, NULL, 10));
    }
    return sent;
}

// The server notes what it sent once the answer is out, which may be a moment after the client
// has all of it.
std::vector<uint64_t> bytes_sent_for(const std::string& path)
{
    std::vector<uint64_t> sent = logged_bytes_sent_for(path);
    for (int wait = 0; wait < 100 && sent.size() < requests_for(path).size(); ++wait) {
        Sleep(20);
        sent = logged_bytes_sent_for(path);
    }
    return sent;
}

void write_file(const std::string& path, const std::string& content)
{
    FILE* stream = fopen(path.c_str(), "wb");
    if (stream == NULL) {
        fprintf(stderr, "can't write %s\n", path.c_str());
        exit(2);
    }
    fwrite(content.data(), 1, content.size(), stream);
    fclose(stream);
}

bool read_file(const std::string& path, std::string& content)
{
    FILE* stream = fopen(path.c_str(), "rb");
    if (stream == NULL)
        return false;
    content.clear();
    char block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof(block), stream)) > 0)
        content.append(block, got);
    fclose(stream);
    return true;
}

bool file_exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string md5_text(const std::string& content)
{
    Md5Context context;
    md5_init(context);
    md5_update(context, content.data(), uint32_t(content.size()));
    return md5_final(context);
}

std::string pattern_bytes(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = char(i % 251);
    return bytes;
}

std::string random_bytes(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = char(state >> 24);
    }
    return bytes;
}

std::string block_map_of(const std::string& file)
{
    BlockMapWriter writer;
    start_block_map(file.size(), writer);
    feed_block_map(writer, file.data(), file.size());
    std::string map;
    std::string error_text;
    EXPECT_TRUE(finish_block_map(writer, map, error_text)) << error_text;
    return map;
}

std::string list_line(const std::string& path, const std::string& content)
{
    return "F|" + md5_text(content) + "|" + std::to_string(content.size()) + "|" + path;
}

std::string make_list(const std::vector<std::string>& lines)
{
    std::string text = "Version=1\n";
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}
