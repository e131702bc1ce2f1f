// The player's console front end: keys read on a thread of their own (from the console, or
// from a redirected standard input) and posted to the host window; a progress line redrawn
// four times a second; a level meter fed by the capture sink.
#include "player/console.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <deque>

namespace player {

// Keys posted from the reader thread to the host window.
constexpr UINT kKeyMessage = WM_APP;

static std::atomic<bool> interrupted{false};
// Peak of each channel since the meter was last drawn; the sink runs on the capture thread.
static std::atomic<int> peak_left{0}, peak_right{0};

static BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        interrupted = true;
        return TRUE;
    }
    return FALSE;
}

static DWORD WINAPI ReadKeys(void* window)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode, n;
    if (GetConsoleMode(in, &mode)) {
        INPUT_RECORD record;
        while (ReadConsoleInputA(in, &record, 1, &n)) {
            const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
            if (record.EventType != KEY_EVENT || !key.bKeyDown)
                continue;
            int c = key.wVirtualKeyCode == VK_UP ? '+' : key.wVirtualKeyCode == VK_DOWN ? '-'
                  : key.wVirtualKeyCode == VK_LEFT ? '<' : key.wVirtualKeyCode == VK_RIGHT ? '>'
                  : (unsigned char)key.uChar.AsciiChar;
            PostMessageA((HWND)window, kKeyMessage, c, 0);
        }
    } else {
        char c;
        while (ReadFile(in, &c, 1, &n, nullptr) && n == 1)
            PostMessageA((HWND)window, kKeyMessage, (unsigned char)c, 0);
    }
    return 0;
}

static void RaisePeak(std::atomic<int>& peak, int value)
{
    int seen = peak.load();
    while (value > seen && !peak.compare_exchange_weak(seen, value)) {
    }
}

// Every block is 576 frames of 16-bit stereo, left first.
static void MeasureBlock(const void* samples, int, int, int)
{
    auto frames = (const short*)samples;
    int left = 0, right = 0;
    for (int i = 0; i < 576; ++i) {
        left = std::max(left, std::abs((int)frames[2 * i]));
        right = std::max(right, std::abs((int)frames[2 * i + 1]));
    }
    RaisePeak(peak_left, left);
    RaisePeak(peak_right, right);
}

// Eight cells over the 48 dB below full scale.
static std::string MeterCells(int peak)
{
    int cells = peak > 0 ? (int)std::lround((20 * std::log10(peak / 32768.0) + 48) / 6) : 0;
    cells = std::clamp(cells, 0, 8);
    return std::string(cells, '#') + std::string(8 - cells, '-');
}

static std::string Clock(int ms)
{
    ms = std::max(ms, 0);
    char text[32];
    snprintf(text, sizeof(text), "%d:%02d", ms / 60000, ms / 1000 % 60);
    return text;
}

struct Console {
    hostlib::Host& host;
    Session& session;
    int blocks_at_start = 0; // the meter shows once blocks arrive for the current song
    size_t line_width = 0;   // of the progress line now on screen, to blank what is left of it
    bool keys_shown = false;
    std::deque<int> keys;    // handled between messages, never inside a modal dialog's loop

    // "[1/2] title [####------] 0:12 / 1:30 paused vol 255 pan +0 L[######--] R[#####---]"
    void ShowProgress()
    {
        const int width = 30;
        int position = session.Position(), length = session.Length();
        int filled = length > 0 ? (int)((long long)width * std::clamp(position, 0, length) / length) : 0;
        char number[32] = "";
        if (session.Count() > 1)
            snprintf(number, sizeof(number), "[%d/%d] ", session.Current() + 1, session.Count());
        char text[512];
        snprintf(text, sizeof(text), "%s%s [%s%s] %s / %s%s vol %d pan %+d", number, session.Title(),
                 std::string(filled, '#').c_str(), std::string(width - filled, '-').c_str(), Clock(position).c_str(),
                 Clock(length).c_str(), session.Paused() ? " paused" : "", session.Volume(), session.Pan());
        std::string line = text;
        if (host.seen.sink_a > blocks_at_start)
            line += " L[" + MeterCells(peak_left.exchange(0)) + "] R[" + MeterCells(peak_right.exchange(0)) + "]";
        size_t shown = line.size();
        line.append(line_width > shown ? line_width - shown : 0, ' ');
        line_width = shown;
        printf("\r%s", line.c_str());
        fflush(stdout);
    }

    // + and - change the volume by 16, [ and ] the pan by 16, < and > seek 5 s back and forth,
    // space pauses and resumes, n and p go to the next and previous song, S opens the settings.
    void HandleKey(int key)
    {
        switch (key) {
        case '+': case '=': session.ChangeVolume(16); break;
        case '-': session.ChangeVolume(-16); break;
        case '[': session.ChangePan(-16); break;
        case ']': session.ChangePan(16); break;
        case '<': session.Seek(-5000); break;
        case '>': session.Seek(5000); break;
        case ' ': session.TogglePause(); break;
        case 'n': case 'N': session.Next(); break;
        case 'p': case 'P': session.Previous(); break;
        case 's': case 'S': session.ShowSettings(nullptr); break;
        }
    }
};

static void Trace(const std::string& text)
{
    fprintf(stderr, "trace: %s\n", text.c_str());
}

int RunConsole(hostlib::Host& host, Session& session, bool trace)
{
    Console console{host, session, 0, 0, false, {}};
    host.options.on_sink_a = MeasureBlock;
    host.options.on_end_of_file = [&] {
        if (trace)
            Trace("end of file");
        session.EndOfFile();
    };
    host.options.on_message = [&](UINT message, WPARAM wparam, LPARAM) -> LRESULT {
        if (message == kKeyMessage)
            console.keys.push_back((int)wparam);
        return 0;
    };
    if (trace) {
        host.options.on_call = Trace;
        session.on_call = Trace;
    }
    session.on_start = [&](int) {
        if (!console.keys_shown)
            printf("keys: space pause, n p next/previous song, + - (or up, down) volume, [ ] pan, "
                   "< > (or left, right) seek 5 s, S settings\n");
        console.keys_shown = true;
        console.blocks_at_start = host.seen.sink_a;
        console.line_width = 0;
        console.ShowProgress();
    };
    session.on_end = [&](int, bool reached_end) {
        console.ShowProgress();
        printf("\n%s", reached_end ? "End of file.\n" : "");
        fflush(stdout);
    };
    session.on_refused = [&](int index, int result) {
        fprintf(stderr, "error: %s %s\n", result == 1 ? "the sequencer refused" : "could not retrieve",
                session.Song(index).c_str());
    };

    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    CloseHandle(CreateThread(nullptr, 0, ReadKeys, host.window, 0, nullptr));

    session.Start();
    DWORD last_shown = GetTickCount();
    while (!session.Finished() && !interrupted) {
        host.Wait(50);
        bool pressed = !console.keys.empty();
        while (!console.keys.empty() && !session.Finished()) {
            int key = console.keys.front();
            console.keys.pop_front();
            console.HandleKey(key);
        }
        session.Tick();
        if (!session.Finished() && (pressed || GetTickCount() - last_shown >= 250)) {
            console.ShowProgress();
            last_shown = GetTickCount();
        }
    }
    if (interrupted) {
        session.Stop();
        printf("Stopped.\n");
    }
    // The hooks refer to this frame.
    host.options.on_end_of_file = nullptr;
    host.options.on_message = nullptr;
    if (interrupted)
        return 130;
    if (session.Played() == 0)
        return session.LastRefusal() == -1 ? 2 : 1;
    if (session.Count() > 1)
        printf("Played %d of %d songs.\n", session.Played(), session.Count());
    return 0;
}

} // namespace player
