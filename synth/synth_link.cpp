// FluidSynth link: one TCP connection per process, kept from the first device open on.
// Sends go out on a non-blocking socket with Nagle off, so a note leaves at once and a
// stalled FluidSynth costs dropped messages rather than a stalled sequencer. The shell
// answers some commands with text; a reader thread takes it, since a shell whose replies are
// never read stops reading commands, and keeps the two answers the driver asks for when it
// connects: the gain FluidSynth started with and the number of its SoundFont.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "synth/synth_link.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>

constexpr DWORD kConnectTimeoutMs = 500;
constexpr long kReaderPollUs = 500000;
constexpr DWORD kReaderEndWaitMs = 2000;
constexpr int kChannels = 16;
constexpr int kDrumChannel = 9; // MIDI channel 10, the one FluidSynth itself plays drums on
constexpr int kDrumBank = 128;  // a SoundFont's drum kits
constexpr int kFullVolume = 16383;
constexpr DWORD kFullLevel = 0xFFFF;  // a side of the output's volume
constexpr int kBalanceController = 8;
constexpr int kCentre = 64;           // the balance controller's middle

// Link state. Everything but link_broken, reader_stop, started_gain_thousandths and
// font_number is touched only under the device lock (driver.cpp), or from DllMain at process
// exit when no other thread runs. The reader thread only reads link_socket's replies, sets
// link_broken when the connection ends and writes the two answers; it never closes the
// socket, so a handle the sender holds is never reused under it.
static SOCKET link_socket = INVALID_SOCKET;
static HANDLE reader_thread = nullptr;
static volatile LONG link_broken = 0;
static volatile LONG reader_stop = 0;
static int winsock_started = 0;
static int sent_since_silence = 0;
static volatile LONG started_gain_thousandths = 0; // 0 until FluidSynth has told it
static volatile LONG font_number = 1;              // the first SoundFont FluidSynth loads is 1

// What each channel plays as the driver has set it since it connected. FluidSynth's channel
// types stay as it started them (channel 10 drums, the others melodic), and a program change
// picks from the bank of the channel's type: on a channel whose drums differ from that, the
// driver selects the preset itself.
struct ChannelSetting {
    int drums;
    int bank; // controller 0, as the music last set it
    int program;
    int balance; // controller 8, as the music last set it
};
static ChannelSetting channels[kChannels];
// The gain is the started one times master_volume / 16383 times output_level / 0xFFFF;
// gain_pending: it has changed and waits for FluidSynth's started gain to go out.
static int master_volume = kFullVolume;
static DWORD output_level = kFullLevel; // the louder side of the output's volume
static int gain_pending = 0;
// The balance controller value the output's volume gives (kCentre: none).
static int output_balance = kCentre;

// The gain as FluidSynth prints it ("0.600"), in thousandths; -1 for a line that is not one
// number from 0 to 5.
static int ParseGain(const char* line)
{
    int whole = 0, fraction = 0, scale = 1000, digits = 0;
    for (; *line >= '0' && *line <= '9' && whole <= 5; ++line, ++digits)
        whole = whole * 10 + (*line - '0');
    if (*line == '.')
        for (++line; *line >= '0' && *line <= '9'; ++line, ++digits)
            if (scale > 1) {
                scale /= 10;
                fraction += (*line - '0') * scale;
            }
    while (*line == ' ' || *line == '\r')
        ++line;
    int thousandths = whole * 1000 + fraction;
    return *line == 0 && digits > 0 && thousandths <= 5000 ? thousandths : -1;
}

// One line of the shell's replies. The answer to "get synth.gain" is the first line that is a
// number alone; the first SoundFont "fonts" lists follows its "ID  Name" heading. A shell on
// standard input (the release package's) also prints "> " and echoes each command.
static void TakeReplyLine(const char* line, int* fonts_heading_seen)
{
    int gain = ParseGain(line);
    if (gain > 0 && started_gain_thousandths == 0) {
        InterlockedExchange(&started_gain_thousandths, gain);
    } else if (strncmp(line, "ID  Name", 8) == 0) {
        *fonts_heading_seen = 1;
    } else if (*fonts_heading_seen == 1) {
        *fonts_heading_seen = 2;
        int number = atoi(line);
        if (number > 0)
            InterlockedExchange(&font_number, number);
    }
}

// Holds a reference to this DLL for as long as it runs, so that winmm freeing the driver
// never unmaps code the thread is in.
static DWORD WINAPI ReaderThread(void* param)
{
    SOCKET s = (SOCKET)param;
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)&ReaderThread, &self);
    char reply[512], line[128];
    int line_length = 0, fonts_heading_seen = 0;
    while (reader_stop == 0) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval wait = {0, kReaderPollUs};
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready == SOCKET_ERROR)
            break;
        if (ready == 0)
            continue;
        int got = recv(s, reply, sizeof(reply), 0);
        if (got == 0 || (got == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK))
            break;
        // A line longer than the buffer is cut; the cut part is not one of the answers.
        for (int i = 0; i < got; ++i) {
            if (reply[i] != '\n') {
                if (line_length < (int)sizeof(line) - 1)
                    line[line_length++] = reply[i];
                continue;
            }
            line[line_length] = 0;
            TakeReplyLine(line, &fonts_heading_seen);
            line_length = 0;
        }
    }
    InterlockedExchange(&link_broken, 1);
    FreeLibraryAndExitThread(self, 0);
    return 0;
}

static int SynthPort(void)
{
    char text[16];
    DWORD n = GetEnvironmentVariableA("MIDI_SYNTH_PORT", text, sizeof(text));
    if (n > 0 && n < sizeof(text))
        return atoi(text);
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\Drivers\\winefluid.drv", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    DWORD port = 0, size = sizeof(port), type = 0;
    if (RegQueryValueExA(key, "Port", nullptr, &type, (BYTE*)&port, &size) != ERROR_SUCCESS || type != REG_DWORD)
        port = 0;
    RegCloseKey(key);
    return (int)port;
}

// Ends a broken connection: the reader is told to stop (shutdown wakes its select), awaited,
// and only then is the socket closed.
static void Disconnect(void)
{
    if (link_socket == INVALID_SOCKET)
        return;
    InterlockedExchange(&reader_stop, 1);
    shutdown(link_socket, SD_BOTH);
    if (reader_thread != nullptr) {
        WaitForSingleObject(reader_thread, kReaderEndWaitMs);
        CloseHandle(reader_thread);
        reader_thread = nullptr;
    }
    closesocket(link_socket);
    link_socket = INVALID_SOCKET;
}

// A non-blocking connect bounded by kConnectTimeoutMs; on the loopback address a port with
// no listener is refused at once.
static SOCKET ConnectTo(int port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return s;
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    BOOL no_delay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&no_delay, sizeof(no_delay));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((u_short)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (sockaddr*)&address, sizeof(address)) == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval wait = {0, (long)kConnectTimeoutMs * 1000};
    if (select(0, nullptr, &writable, &failed, &wait) != 1 || !FD_ISSET(s, &writable)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// A message that does not go out whole marks the link broken: the shell would otherwise read
// the rest of a cut command as the start of the next. A full socket drops the message.
static void Send(const char* text, int length)
{
    if (link_socket == INVALID_SOCKET || link_broken != 0)
        return;
    int sent = send(link_socket, text, length, 0);
    if (sent == length)
        return;
    if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
        return;
    InterlockedExchange(&link_broken, 1);
}

static void SendPendingGain(void);

// One shell command, after a gain waiting to go out; every command the driver sends fits in 64
// characters.
static void Command(const char* format, ...)
{
    SendPendingGain();
    char line[64];
    va_list arguments;
    va_start(arguments, format);
    int n = vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    if (n > 0 && n < (int)sizeof(line))
        Send(line, n);
}

// A gain that changes before FluidSynth has told its started gain waits for the next command.
static void SendPendingGain(void)
{
    if (!gain_pending || started_gain_thousandths == 0)
        return;
    LONGLONG millionths = (LONGLONG)started_gain_thousandths * 1000 * master_volume * output_level /
                          ((LONGLONG)kFullVolume * kFullLevel);
    gain_pending = 0;
    Command("gain %d.%06d\n", (int)(millionths / 1000000), (int)(millionths % 1000000));
}

// FluidSynth's balance controller leaves the side it turns away from about (1 - d / 64)^2 of
// its level, d its distance from the middle (measured on FluidSynth 2.3: controller 96 leaves
// 0.26, 80 0.58, 127 nothing but the reverberation), and the other side whole. The share each
// side keeps of a controller value:
static void BalanceShares(int value, double* left, double* right)
{
    double turned = 1 - fabs(value - kCentre) / kCentre;
    *left = value > kCentre ? turned * turned : 1;
    *right = value < kCentre ? turned * turned : 1;
}

// The controller value that leaves the sides these shares of each other.
static int BalanceValue(double left, double right)
{
    if (left == right)
        return kCentre;
    double share = left < right ? left / right : right / left;
    int distance = (int)lround(kCentre * (1 - sqrt(share)));
    int value = left < right ? kCentre + distance : kCentre - distance;
    return value < 0 ? 0 : value > 127 ? 127 : value;
}

// What a channel's balance controller is set to: the music's, and the output's on top of it
// (their shares of each side multiplied).
static int ChannelBalance(int channel)
{
    int music = channels[channel].balance;
    if (output_balance == kCentre)
        return music;
    if (music == kCentre)
        return output_balance;
    double music_left, music_right, output_left, output_right;
    BalanceShares(music, &music_left, &music_right);
    BalanceShares(output_balance, &output_left, &output_right);
    return BalanceValue(music_left * output_left, music_right * output_right);
}

// FluidSynth refuses to select a preset its SoundFont lacks, and the channel keeps what it
// had: so first the preset every General MIDI SoundFont has (the standard kit, or the
// program in bank 0), as FluidSynth itself falls back on, then the one asked for.
static void SelectPreset(int channel)
{
    const ChannelSetting& c = channels[channel];
    int bank = c.drums ? kDrumBank : c.bank;
    int fallback_program = c.drums ? 0 : c.program;
    int fallback_bank = c.drums ? kDrumBank : 0;
    Command("select %d %d %d %d\n", channel, (int)font_number, fallback_bank, fallback_program);
    if (bank != fallback_bank || c.program != fallback_program)
        Command("select %d %d %d %d\n", channel, (int)font_number, bank, c.program);
}

void SynthConnect(void)
{
    if (link_socket != INVALID_SOCKET && link_broken == 0)
        return;
    Disconnect();
    int port = SynthPort();
    if (port <= 0 || port > 65535)
        return;
    if (!winsock_started) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            return;
        winsock_started = 1;
    }
    SOCKET s = ConnectTo(port);
    if (s == INVALID_SOCKET)
        return;
    link_socket = s;
    InterlockedExchange(&link_broken, 0);
    InterlockedExchange(&reader_stop, 0);
    InterlockedExchange(&started_gain_thousandths, 0);
    InterlockedExchange(&font_number, 1);
    reader_thread = CreateThread(nullptr, 0, ReaderThread, (void*)s, 0, nullptr);
    if (reader_thread == nullptr) {
        Disconnect();
        return;
    }
    static const char kQuestions[] = "get synth.gain\nfonts\n";
    Send(kQuestions, sizeof(kQuestions) - 1);
    // A process killed outright leaves its notes sounding and its channels and gain as it set
    // them (FluidSynth run by tools/services.sh serves one program after another): the next
    // one to connect finds the synthesizer as FluidSynth started, but for the output's volume.
    master_volume = kFullVolume;
    gain_pending = 1;
    SynthResetChannels();
}

void SynthShortMessage(DWORD message)
{
    int status = message & 0xFF, channel = status & 0x0F;
    int data1 = (message >> 8) & 0x7F, data2 = (message >> 16) & 0x7F;
    switch (status & 0xF0) {
    case 0x80: // note off
        Command("noteoff %d %d\n", channel, data1);
        break;
    case 0x90: // note on; velocity 0 is a note off
        if (data2 != 0)
            Command("noteon %d %d %d\n", channel, data1, data2);
        else
            Command("noteoff %d %d\n", channel, data1);
        break;
    case 0xB0: // control change; 0 is the bank select FluidSynth heeds (it ignores 32)
        if (data1 == 0)
            channels[channel].bank = data2;
        if (data1 == kBalanceController) {
            channels[channel].balance = data2;
            data2 = ChannelBalance(channel);
        }
        Command("cc %d %d %d\n", channel, data1, data2);
        break;
    case 0xC0: // program change
        channels[channel].program = data1;
        if (channels[channel].drums != (channel == kDrumChannel))
            SelectPreset(channel);
        else
            Command("prog %d %d\n", channel, data1);
        break;
    case 0xE0: // pitch bend, 14 bits, least significant 7 first
        Command("pitch_bend %d %d\n", channel, data1 | data2 << 7);
        break;
    default: // polyphonic and channel pressure, system messages: the shell has no command
        return;
    }
    sent_since_silence = 1;
}

// FluidSynth's reset puts every balance controller in the middle.
void SynthResetChannels(void)
{
    Command("reset\n");
    for (int channel = 0; channel < kChannels; ++channel) {
        channels[channel] = {channel == kDrumChannel, 0, 0, kCentre};
        if (output_balance != kCentre)
            Command("cc %d %d %d\n", channel, kBalanceController, output_balance);
    }
    sent_since_silence = 0; // FluidSynth's reset ends every voice
}

void SynthSetDrums(int channel, int drums)
{
    if (channel < 0 || channel >= kChannels)
        return;
    channels[channel].drums = drums != 0;
    SelectPreset(channel);
}

void SynthMasterVolume(int volume)
{
    if (volume < 0 || volume > kFullVolume)
        return;
    master_volume = volume;
    gain_pending = 1;
    SendPendingGain();
}

void SynthOutputVolume(DWORD volume)
{
    DWORD left = LOWORD(volume), right = HIWORD(volume);
    DWORD level = left > right ? left : right;
    if (level != output_level) {
        output_level = level;
        gain_pending = 1;
        SendPendingGain();
    }
    int balance = BalanceValue((double)left, (double)right);
    if (level == 0)
        balance = kCentre; // silence has no sides
    if (balance == output_balance)
        return;
    output_balance = balance;
    for (int channel = 0; channel < kChannels; ++channel)
        Command("cc %d %d %d\n", channel, kBalanceController, ChannelBalance(channel));
}

// All sound off (controller 120) ends every voice at once, release tails and sustained
// notes included; all notes off (123) clears the keys the synthesizer holds as pressed.
void SynthSilence(void)
{
    if (!sent_since_silence)
        return;
    char text[16 * 32];
    int n = 0;
    for (int channel = 0; channel < 16; ++channel)
        n += snprintf(text + n, sizeof(text) - n, "cc %d 123 0\ncc %d 120 0\n", channel, channel);
    Send(text, n);
    sent_since_silence = 0;
}

void SynthRelease(void)
{
    SynthSilence();
    if (link_socket == INVALID_SOCKET)
        return;
    // Under the loader lock the reader cannot be awaited; it ends by itself and frees its
    // reference to this DLL. The socket goes with the process.
    InterlockedExchange(&reader_stop, 1);
    shutdown(link_socket, SD_SEND);
    link_socket = INVALID_SOCKET;
    if (reader_thread != nullptr) {
        CloseHandle(reader_thread);
        reader_thread = nullptr;
    }
}
