// The player's window: controls made in code, refreshed ten times a second from the session;
// the console player's keys caught in the message loop before the controls see them.
#include "player/window.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "player/visualisation.h"

namespace player {

namespace {

enum ControlId {
    kTitle = 100, kTime, kState, kSeek, kPrevious, kPlayPause, kStop, kNext, kVolumeLabel, kVolume,
    kPanLabel, kPan, kPanel, kList, kKeysHelp, kSettings, kAbout,
};

constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickMs = 100; // Tick reads the position, from which the plug-in posts its end of file
constexpr int kClientWidth = 560, kClientHeight = 436;
const char kClassName[] = "TessarinPlayer";
const char kCaption[] = "MIDI player";

// The one player window of the process. Window thread only; the visualisation takes its
// blocks on the capture thread through its own lock.
struct Ui {
    HWND window = nullptr;
    hostlib::Host* host = nullptr;
    Session* session = nullptr;
    bool in_dialog = false; // a plug-in dialog is open: its modal loop runs our timer too
    bool seeking = false;   // the seek bar is held: it shows the user's position, not the song's
    int last_song = 0;      // what Play starts again after Stop
    std::string refused;    // the last song the plug-in refused, shown while nothing plays
    HFONT gui_font = nullptr, title_font = nullptr;
};
Ui ui;

vis::Visualisation& Visual()
{
    static vis::Visualisation visual;
    return visual;
}

HWND Item(int id) { return GetDlgItem(ui.window, id); }

HWND Control(const char* window_class, const char* text, DWORD style, int x, int y, int width, int height, int id)
{
    HWND control = CreateWindowExA(0, window_class, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, ui.window,
                                   (HMENU)(INT_PTR)id, GetModuleHandleA(nullptr), nullptr);
    SendMessageA(control, WM_SETFONT, (WPARAM)ui.gui_font, FALSE);
    return control;
}

// Sets a control's text only when it changes, so that nothing repaints for nothing.
void SetText(int id, const std::string& text)
{
    char now[512];
    GetWindowTextA(Item(id), now, sizeof(now));
    if (text != now)
        SetWindowTextA(Item(id), text.c_str());
}

std::string Clock(int ms)
{
    ms = std::max(ms, 0);
    char text[32];
    snprintf(text, sizeof(text), "%d:%02d", ms / 60000, ms / 1000 % 60);
    return text;
}

void MakeControls()
{
    ui.gui_font = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
    ui.title_font = CreateFontA(-15, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Tahoma");
    Control(WC_STATICA, "", SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_ENDELLIPSIS, 10, 8, 540, 20, kTitle);
    SendMessageA(Item(kTitle), WM_SETFONT, (WPARAM)ui.title_font, FALSE);
    Control(WC_STATICA, "0:00 / 0:00", SS_LEFT, 10, 31, 200, 16, kTime);
    Control(WC_STATICA, "", SS_RIGHT | SS_NOPREFIX, 250, 31, 300, 16, kState);
    Control(TRACKBAR_CLASSA, "", TBS_HORZ | TBS_NOTICKS | WS_TABSTOP, 4, 50, 552, 26, kSeek);
    const struct {
        const char* text;
        int id;
    } buttons[] = {{"Previous", kPrevious}, {"Play", kPlayPause}, {"Stop", kStop}, {"Next", kNext}};
    for (int i = 0; i < 4; ++i)
        Control(WC_BUTTONA, buttons[i].text, BS_PUSHBUTTON | WS_TABSTOP, 10 + 68 * i, 82, 64, 24, buttons[i].id);
    Control(WC_STATICA, "Volume", SS_RIGHT, 284, 87, 44, 16, kVolumeLabel);
    Control(TRACKBAR_CLASSA, "", TBS_HORZ | TBS_NOTICKS | WS_TABSTOP, 330, 82, 106, 26, kVolume);
    SendMessageA(Item(kVolume), TBM_SETRANGE, TRUE, MAKELPARAM(0, 255));
    Control(WC_STATICA, "Pan", SS_RIGHT, 436, 87, 26, 16, kPanLabel);
    Control(TRACKBAR_CLASSA, "", TBS_HORZ | TBS_NOTICKS | WS_TABSTOP, 464, 82, 90, 26, kPan);
    // Pan -127..127 as 0..254: Wine drew the thumb of a range from -127 at its left end.
    SendMessageA(Item(kPan), TBM_SETRANGE, TRUE, MAKELPARAM(0, 254));
    RECT panel = {10, 114, 550, 284};
    vis::CreatePanel(ui.window, kPanel, panel, &Visual());
    Control(WC_LISTBOXA, "", LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 10, 292, 540,
            100, kList);
    Control(WC_STATICA,
            "Keys: space pause, N / P next / previous song, + - (up, down) volume,\n"
            "[ ] pan, < > (left, right) seek 5 s, S settings; double-click a song to play it",
            SS_LEFT | SS_NOPREFIX, 10, 402, 376, 28, kKeysHelp);
    Control(WC_BUTTONA, "Settings...", BS_PUSHBUTTON | WS_TABSTOP, 390, 404, 78, 24, kSettings);
    Control(WC_BUTTONA, "About...", BS_PUSHBUTTON | WS_TABSTOP, 472, 404, 78, 24, kAbout);
}

void FillList()
{
    HWND list = Item(kList);
    for (int i = 0; i < ui.session->Count(); ++i) {
        const std::string& song = ui.session->Song(i);
        std::string name = song.substr(song.find_last_of("\\/") + 1);
        std::string item = std::to_string(i + 1) + ".  " + (name.empty() ? song : name);
        SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)item.c_str());
    }
}

// Brings every control in line with the session.
void Refresh()
{
    Session& session = *ui.session;
    bool stopped = session.Finished(), paused = session.Paused();
    SetText(kTitle, session.Title()[0] != '\0' ? session.Title() : "(nothing played yet)");
    int length = session.Length();
    int position = ui.seeking ? (int)SendMessageA(Item(kSeek), TBM_GETPOS, 0, 0) : stopped ? 0 : session.Position();
    SetText(kTime, Clock(position) + " / " + Clock(length));
    char state[96];
    snprintf(state, sizeof(state), "song %d of %d, %s", (stopped ? ui.last_song : session.Current()) + 1,
             session.Count(), stopped ? "stopped" : paused ? "paused" : "playing");
    SetText(kState, stopped && !ui.refused.empty() ? ui.refused : state);
    SetText(kPlayPause, stopped || paused ? "Play" : "Pause");

    HWND seek = Item(kSeek);
    if (SendMessageA(seek, TBM_GETRANGEMAX, 0, 0) != std::max(length, 1))
        SendMessageA(seek, TBM_SETRANGEMAX, TRUE, std::max(length, 1));
    if (!ui.seeking && SendMessageA(seek, TBM_GETPOS, 0, 0) != position)
        SendMessageA(seek, TBM_SETPOS, TRUE, position);
    EnableWindow(seek, !stopped && length > 0);
    // A slider being dragged shows where the user holds it.
    if (GetCapture() != Item(kVolume) && SendMessageA(Item(kVolume), TBM_GETPOS, 0, 0) != session.Volume())
        SendMessageA(Item(kVolume), TBM_SETPOS, TRUE, session.Volume());
    if (GetCapture() != Item(kPan) && SendMessageA(Item(kPan), TBM_GETPOS, 0, 0) != session.Pan() + 127)
        SendMessageA(Item(kPan), TBM_SETPOS, TRUE, session.Pan() + 127);
    Visual().SetState(stopped ? vis::State::kStopped : paused ? vis::State::kPaused : vis::State::kPlaying,
                      GetTickCount());
}

// The plug-in's dialogs are modal: no session call may run inside their message loop.
void ShowPluginDialog(bool settings)
{
    ui.in_dialog = true;
    if (settings)
        ui.session->ShowSettings(ui.window);
    else
        ui.host->mod->ShowAbout(ui.window);
    ui.in_dialog = false;
}

// Plays song `index` (clamped to the list); a song the plug-in refuses passes on to the next.
void PlaySong(int index)
{
    ui.session->Play(std::clamp(index, 0, ui.session->Count() - 1));
}

// The console player's keys; true when the key is one of them.
bool HandleKey(int key)
{
    Session& session = *ui.session;
    switch (key) {
    case '+': case '=': session.ChangeVolume(16); break;
    case '-': session.ChangeVolume(-16); break;
    case '[': session.ChangePan(-16); break;
    case ']': session.ChangePan(16); break;
    case '<': case ',': session.Seek(-5000); break;
    case '>': case '.': session.Seek(5000); break;
    case ' ': session.Finished() ? PlaySong(ui.last_song) : session.TogglePause(); break;
    case 'n': case 'N': session.Finished() ? PlaySong(ui.last_song + 1) : session.Next(); break;
    case 'p': case 'P': session.Finished() ? PlaySong(ui.last_song - 1) : session.Previous(); break;
    case 's': case 'S': ShowPluginDialog(true); break;
    default: return false;
    }
    Refresh();
    return true;
}

// Keys for the player, taken before the focused control would act on them (arrows move
// sliders and the list, space presses buttons). Enter in the list plays the selected song.
bool TakeKey(const MSG& msg)
{
    if (msg.hwnd != ui.window && !IsChild(ui.window, msg.hwnd))
        return false;
    if (msg.message == WM_KEYDOWN) {
        switch (msg.wParam) {
        case VK_UP: return HandleKey('+');
        case VK_DOWN: return HandleKey('-');
        case VK_LEFT: return HandleKey('<');
        case VK_RIGHT: return HandleKey('>');
        case VK_SPACE: return HandleKey(' ');
        case VK_RETURN:
            if (msg.hwnd == Item(kList)) {
                PlaySong((int)SendMessageA(Item(kList), LB_GETCURSEL, 0, 0));
                return true;
            }
        }
        return false;
    }
    return msg.message == WM_CHAR && HandleKey((int)msg.wParam);
}

// A click on the seek bar's channel jumps there, rather than a page towards it.
void SeekBarToCursor(HWND seek)
{
    RECT channel;
    SendMessageA(seek, TBM_GETCHANNELRECT, 0, (LPARAM)&channel);
    POINT cursor;
    GetCursorPos(&cursor);
    ScreenToClient(seek, &cursor);
    int range = (int)SendMessageA(seek, TBM_GETRANGEMAX, 0, 0);
    int width = std::max(1, (int)(channel.right - channel.left));
    int at = (int)((long long)range * std::clamp((int)(cursor.x - channel.left), 0, width) / width);
    SendMessageA(seek, TBM_SETPOS, TRUE, at);
}

void OnScroll(HWND bar, int code)
{
    Session& session = *ui.session;
    if (bar == Item(kSeek)) {
        if ((code == TB_PAGEUP || code == TB_PAGEDOWN) && GetKeyState(VK_LBUTTON) < 0)
            SeekBarToCursor(bar);
        if (code == TB_ENDTRACK) {
            ui.seeking = false;
            session.SeekTo((int)SendMessageA(bar, TBM_GETPOS, 0, 0));
        } else {
            ui.seeking = true;
        }
    } else if (bar == Item(kVolume)) {
        session.ChangeVolume((int)SendMessageA(bar, TBM_GETPOS, 0, 0) - session.Volume());
    } else if (bar == Item(kPan)) {
        session.ChangePan((int)SendMessageA(bar, TBM_GETPOS, 0, 0) - 127 - session.Pan());
    }
    Refresh();
}

void OnCommand(int id, int code)
{
    Session& session = *ui.session;
    switch (id) {
    case kPlayPause: HandleKey(' '); break;
    case kStop: session.Stop(); break;
    case kPrevious: HandleKey('p'); break;
    case kNext: HandleKey('n'); break;
    case kSettings: ShowPluginDialog(true); break;
    case kAbout: ShowPluginDialog(false); break;
    case kList:
        if (code == LBN_DBLCLK)
            PlaySong((int)SendMessageA(Item(kList), LB_GETCURSEL, 0, 0));
        break;
    }
    Refresh();
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    // The plug-in's messages (and any other from WM_USER up) go to the host first.
    if (ui.host != nullptr && ui.host->dll != nullptr) {
        bool handled = false;
        LRESULT answer = ui.host->HandleMessage(message, wparam, lparam, &handled);
        if (handled)
            return answer;
    }
    switch (message) {
    case WM_CREATE:
        ui.window = window;
        MakeControls();
        return 0;
    case WM_TIMER:
        if (wparam == kTickTimer && ui.session != nullptr && !ui.in_dialog) {
            ui.session->Tick();
            Refresh();
        }
        return 0;
    case WM_HSCROLL:
        if (ui.session != nullptr && !ui.in_dialog)
            OnScroll((HWND)lparam, LOWORD(wparam));
        return 0;
    case WM_COMMAND:
        if (ui.session != nullptr && !ui.in_dialog)
            OnCommand(LOWORD(wparam), HIWORD(wparam));
        return 0;
    case WM_CLOSE:
        if (ui.in_dialog)
            return 0;
        if (ui.session != nullptr)
            ui.session->Stop();
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        KillTimer(window, kTickTimer);
        DeleteObject(ui.title_font);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

void Trace(const std::string& text)
{
    fprintf(stderr, "trace: %s\n", text.c_str());
}

} // namespace

bool DisplayPresent()
{
    // Wine says so through ntdll; its windows need the X display it was given.
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr) {
        char display[256];
        return GetEnvironmentVariableA("DISPLAY", display, sizeof(display)) > 0;
    }
    USEROBJECTFLAGS flags = {};
    DWORD size = 0;
    return GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags), &size) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

HWND CreateMainWindow()
{
    INITCOMMONCONTROLSEX common = {sizeof(common), ICC_BAR_CLASSES};
    InitCommonControlsEx(&common);
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    window_class.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    window_class.lpszClassName = kClassName;
    RegisterClassA(&window_class);
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame = {0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&frame, style, FALSE);
    return CreateWindowExA(0, kClassName, kCaption, style, CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                           frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
}

int RunWindow(HWND window, hostlib::Host& host, Session& session, bool trace)
{
    ui.host = &host;
    ui.session = &session;
    host.options.on_sink_a = [](const void* samples, int, int, int) { Visual().Intake(samples); };
    host.options.on_end_of_file = [&] {
        if (trace)
            Trace("end of file");
        session.EndOfFile();
    };
    if (trace) {
        host.options.on_call = Trace;
        session.on_call = Trace;
    }
    session.on_start = [&](int index) {
        ui.last_song = index;
        ui.refused.clear();
        SendMessageA(Item(kList), LB_SETCURSEL, index, 0);
        SetWindowTextA(window, (std::string(session.Title()) + " - " + kCaption).c_str());
    };
    session.on_refused = [&](int index, int result) {
        const std::string& song = session.Song(index);
        ui.refused = (result == 1 ? "the sequencer refused " : "could not retrieve ") +
                     song.substr(song.find_last_of("\\/") + 1);
        fprintf(stderr, "error: %s %s\n", result == 1 ? "the sequencer refused" : "could not retrieve", song.c_str());
    };

    FillList();
    ShowWindow(window, SW_SHOWNORMAL);
    SetFocus(Item(kList));
    session.Start();
    Refresh();
    SetTimer(window, kTickTimer, kTickMs, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (TakeKey(msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    session.Stop();
    // The hooks refer to this frame and to a window that is gone.
    host.options.on_sink_a = nullptr;
    host.options.on_end_of_file = nullptr;
    ui = Ui();
    // As on the console: when nothing played, whether the last refusal was a URL.
    if (session.Played() == 0 && session.LastRefusal() != 0)
        return session.LastRefusal() == -1 ? 2 : 1;
    return 0;
}

} // namespace player
