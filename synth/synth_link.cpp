// FluidSynth link: one TCP connection per process, kept from the first device open on.
// Sends go out on a non-blocking socket with Nagle off, so a note leaves at once and a
// stalled FluidSynth costs dropped messages rather than a stalled sequencer. The shell
// answers some commands with text; a reader thread takes and discards it, since a shell
// whose replies are never read stops reading commands.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "synth/synth_link.h"

#include <stdio.h>

constexpr DWORD kConnectTimeoutMs = 500;
constexpr long kReaderPollUs = 500000;
constexpr DWORD kReaderEndWaitMs = 2000;

// Link state. Everything but link_broken and reader_stop is touched only under the device
// lock (driver.cpp), or from DllMain at process exit when no other thread runs. The reader
// thread only reads link_socket's replies and sets link_broken when the connection ends; it
// never closes the socket, so a handle the sender holds is never reused under it.
static SOCKET link_socket = INVALID_SOCKET;
static HANDLE reader_thread = nullptr;
static volatile LONG link_broken = 0;
static volatile LONG reader_stop = 0;
static int winsock_started = 0;
static int sent_since_silence = 0;

// Holds a reference to this DLL for as long as it runs, so that winmm freeing the driver
// never unmaps code the thread is in.
static DWORD WINAPI ReaderThread(void* param)
{
    SOCKET s = (SOCKET)param;
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)&ReaderThread, &self);
    char discard[512];
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
        int got = recv(s, discard, sizeof(discard), 0);
        if (got == 0 || (got == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK))
            break;
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
    reader_thread = CreateThread(nullptr, 0, ReaderThread, (void*)s, 0, nullptr);
    if (reader_thread == nullptr) {
        Disconnect();
        return;
    }
    // A process killed outright leaves its notes sounding; the next one to connect ends them.
    sent_since_silence = 1;
    SynthSilence();
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

void SynthShortMessage(DWORD message)
{
    int status = message & 0xFF, channel = status & 0x0F;
    int data1 = (message >> 8) & 0x7F, data2 = (message >> 16) & 0x7F;
    char line[48];
    int n = 0;
    switch (status & 0xF0) {
    case 0x80: // note off
        n = snprintf(line, sizeof(line), "noteoff %d %d\n", channel, data1);
        break;
    case 0x90: // note on; velocity 0 is a note off
        n = data2 != 0 ? snprintf(line, sizeof(line), "noteon %d %d %d\n", channel, data1, data2)
                       : snprintf(line, sizeof(line), "noteoff %d %d\n", channel, data1);
        break;
    case 0xB0: // control change
        n = snprintf(line, sizeof(line), "cc %d %d %d\n", channel, data1, data2);
        break;
    case 0xC0: // program change
        n = snprintf(line, sizeof(line), "prog %d %d\n", channel, data1);
        break;
    case 0xE0: // pitch bend, 14 bits, least significant 7 first
        n = snprintf(line, sizeof(line), "pitch_bend %d %d\n", channel, data1 | data2 << 7);
        break;
    default: // polyphonic and channel pressure, system messages: the shell has no command
        return;
    }
    Send(line, n);
    sent_since_silence = 1;
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
