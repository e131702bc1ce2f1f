// System exclusive through the MIDI output driver (synth/): sent straight to the device it
// offers, then read back from FluidSynth's own shell (what each channel plays), from what the
// null sink hears (the gain) and from the driver's message log. tools/test.sh installs the
// driver and starts FluidSynth, whose shell port it passes on in MIDI_SYNTH_PORT.
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "synth/log_reader.h"
#include "tests/synth_device.h"
#include "tests/loudness.h"

namespace {

using Bytes = std::vector<BYTE>;
using synth_device::MasterVolume;

const Bytes kGmSystemOn = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
const Bytes kGsReset = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
const Bytes kXgSystemOn = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};
constexpr int kMarkerChannel = 15; // its program changes tell when FluidSynth has caught up

// GS "use for rhythm part" for GS part byte `part` (0 is part 10, 1-9 parts 1-9, A-F 11-16).
Bytes RhythmPart(int part, int mode, int checksum_error = 0)
{
    int sum = 0x40 + (0x10 | part) + 0x15 + mode;
    return {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, (BYTE)(0x10 | part), 0x15, (BYTE)mode,
            (BYTE)((128 - sum % 128 + checksum_error) % 128), 0xF7};
}

std::string Hex(const Bytes& bytes)
{
    std::string hex;
    char two[3];
    for (BYTE b : bytes)
        hex += (snprintf(two, sizeof(two), "%02x", b), two);
    return hex;
}

// A long message as Logged() gives it.
std::string Entry(const Bytes& bytes, const char* reading)
{
    return std::to_string(bytes.size()) + " " + Hex(bytes) + " " + reading;
}

DWORD Program(int channel, int program) { return 0xC0 | channel | program << 8; }
DWORD Control(int channel, int control, int value) { return 0xB0 | channel | control << 8 | value << 16; }

struct Preset {
    int bank = -1, program = -1;
    bool operator==(const Preset&) const = default;
};
constexpr Preset kPiano = {0, 0}, kStandardKit = {128, 0};

class SynthSysex : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[MAX_PATH];
        GetTempPathA(sizeof(folder), folder);
        log_ = std::string(folder) + "synth_sysex.log";
        DeleteFileA(log_.c_str());
        SetEnvironmentVariableA("MIDI_LOG_FILE", log_.c_str());
        UINT device = synth_device::Find();
        ASSERT_LT(device, midiOutGetNumDevs());
        ASSERT_EQ(midiOutOpen(&out_, device, (DWORD_PTR)Done, (DWORD_PTR)this, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    }
    void TearDown() override
    {
        // FluidSynth serves the tests that follow: as it started.
        if (out_ != nullptr) {
            Long(kGmSystemOn);
            Long(MasterVolume(16383));
            midiOutClose(out_);
        }
        if (shell_ != INVALID_SOCKET)
            closesocket(shell_);
        SetEnvironmentVariableA("MIDI_LOG_FILE", nullptr);
        DeleteFileA(log_.c_str());
    }

    static void CALLBACK Done(HMIDIOUT, UINT message, DWORD_PTR self, DWORD_PTR, DWORD_PTR)
    {
        ((SynthSysex*)self)->done_ += message == MOM_DONE;
    }

    // Sends one long message; the header must come back done before midiOutLongMsg returns.
    void Long(Bytes bytes)
    {
        MIDIHDR header = {};
        header.lpData = (LPSTR)bytes.data();
        header.dwBufferLength = bytes.size();
        ASSERT_EQ(midiOutPrepareHeader(out_, &header, sizeof(header)), MMSYSERR_NOERROR);
        int done = done_;
        EXPECT_EQ(midiOutLongMsg(out_, &header, sizeof(header)), MMSYSERR_NOERROR);
        EXPECT_EQ(header.dwFlags & (MHDR_DONE | MHDR_INQUEUE), (DWORD)MHDR_DONE) << Hex(bytes);
        EXPECT_EQ(done_, done + 1) << "no MOM_DONE for " << Hex(bytes);
        EXPECT_EQ(midiOutUnprepareHeader(out_, &header, sizeof(header)), MMSYSERR_NOERROR);
    }
    void Short(DWORD message) { EXPECT_EQ(midiOutShortMsg(out_, message), MMSYSERR_NOERROR); }

    // What each channel plays, as FluidSynth's "channels -verbose" tells, once it has taken
    // every message sent so far: the driver's commands reach it on a connection of their own,
    // so a program change on kMarkerChannel goes last and is waited for.
    std::map<int, Preset> Channels()
    {
        marker_ = marker_ % 100 + 1;
        Short(Program(kMarkerChannel, marker_));
        for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(10)) {
            std::map<int, Preset> channels;
            std::string reply = Shell("channels -verbose");
            for (size_t at = 0; (at = reply.find("chan ", at)) != std::string::npos; ++at) {
                int channel, font;
                Preset p;
                if (sscanf(reply.c_str() + at, "chan %d, sfont %d, bank %d, preset %d", &channel, &font, &p.bank,
                           &p.program) == 4)
                    channels[channel] = p;
            }
            if (channels[kMarkerChannel] == Preset{0, marker_})
                return channels;
        }
        ADD_FAILURE() << "FluidSynth never took the marker program";
        return {};
    }

    // FluidSynth's shell, on a connection of the test's own: its reply to `command`, which
    // ends where the reply to the echo that follows it begins (echo prints one word).
    std::string Shell(const std::string& command)
    {
        WSADATA data;
        const char* port = getenv("MIDI_SYNTH_PORT");
        if (shell_ == INVALID_SOCKET && port != nullptr && WSAStartup(MAKEWORD(2, 2), &data) == 0) {
            shell_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_port = htons((u_short)atoi(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            DWORD timeout_ms = 5000;
            setsockopt(shell_, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout_ms, sizeof(timeout_ms));
            connect(shell_, (sockaddr*)&address, sizeof(address));
        }
        const std::string kEnd = "end-of-reply\n", ask = command + "\necho " + kEnd;
        std::string reply;
        if (send(shell_, ask.data(), ask.size(), 0) != (int)ask.size())
            return reply;
        char buffer[2048];
        while (!reply.ends_with(kEnd)) {
            int got = recv(shell_, buffer, sizeof(buffer), 0);
            if (got <= 0)
                return "";
            reply.append(buffer, got);
        }
        return reply.substr(0, reply.size() - kEnd.size());
    }

    // An organ note (it sounds evenly while held) on channel 0, as the null sink hears it.
    double NoteLoudness()
    {
        Short(Program(0, 19));
        Short(0x90 | 60 << 8 | 100 << 16);
        Sleep(300); // past the note's attack
        double rms = loudness::RecordSteadyRms(600);
        Short(0x80 | 60 << 8);
        Sleep(400); // the reverberation dies away
        return rms;
    }

    // The log, in its order, which is its time order: each long message as its length, bytes
    // and what the driver took it for, and each note.
    std::vector<std::string> Logged()
    {
        std::vector<std::string> logged;
        LONGLONG last = 0;
        for (const heard::Line& l : heard::Read(log_)) {
            EXPECT_GE(l.us, last) << l.name << " out of time order";
            last = l.us;
            if (l.name == "longdata")
                logged.push_back(std::to_string(l.first) + " " + l.bytes + " " + l.reading);
            else if (heard::IsNoteOn(l) || heard::IsNoteOff(l))
                logged.push_back("note " + std::to_string(heard::Key(l)) + (heard::IsNoteOn(l) ? " on" : " off"));
        }
        return logged;
    }

    HMIDIOUT out_ = nullptr;
    SOCKET shell_ = INVALID_SOCKET;
    int done_ = 0; // MOM_DONE callbacks
    std::string log_;
    int marker_ = 0;
};

} // namespace

// GS part 3 is MIDI channel 3, FluidSynth's channel 2.
TEST_F(SynthSysex, ARhythmPartPlaysDrumKitsUntilItIsANormalPartAgain)
{
    Short(Program(2, 40));
    Long(RhythmPart(3, 1));
    EXPECT_EQ(Channels()[2], (Preset{128, 40})) << "the part's program, as a kit";
    Short(Program(2, 25));
    EXPECT_EQ(Channels()[2], (Preset{128, 25}));
    // A bank select does not take it off the kits; a kit the SoundFont lacks is the standard
    // kit, as on channel 10.
    Short(Control(2, 0, 0));
    Short(Program(2, 5));
    EXPECT_EQ(Channels()[2], kStandardKit);
    Long(RhythmPart(3, 0));
    EXPECT_EQ(Channels()[2], (Preset{0, 5}));

    // GS part 10 made a normal part plays programs; the second drum map is drums again.
    Long(RhythmPart(0, 0));
    Short(Program(9, 33));
    EXPECT_EQ(Channels()[9], (Preset{0, 33}));
    Long(RhythmPart(0, 2));
    Short(Program(9, 25));
    EXPECT_EQ(Channels()[9], (Preset{128, 25}));

    // GS part 11 is channel 11 (FluidSynth's 10); a wrong checksum, or a message the driver has
    // no command for, changes nothing.
    std::map<int, Preset> before = Channels();
    Long(RhythmPart(0xA, 1, 1));
    Long({0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x01, 0x30, 0x04, 0x0B, 0xF7}); // GS reverb macro
    Long({0xF0, 0x7E, 0x7F, 0x09, 0x03, 0xF7});                               // General MIDI 2 on
    std::map<int, Preset> after = Channels();
    after.erase(kMarkerChannel);
    before.erase(kMarkerChannel);
    EXPECT_EQ(after, before);
    Long(RhythmPart(0xA, 1));
    EXPECT_EQ(Channels()[10], kStandardKit);

    std::vector<std::string> logged = Logged();
    ASSERT_EQ(logged.size(), 8u);
    EXPECT_EQ(logged[4], Entry(RhythmPart(0xA, 1, 1), "gs-bad-checksum"));
    EXPECT_EQ(logged[7], Entry(RhythmPart(0xA, 1), "gs-rhythm-part"));
}

TEST_F(SynthSysex, EachResetPutsEveryChannelBackAndForgetsTheRhythmParts)
{
    for (const Bytes& reset : {kGmSystemOn, kGsReset, kXgSystemOn}) {
        Short(Program(0, 40));
        Long(RhythmPart(3, 1));
        Long(RhythmPart(0, 0));
        Short(Program(9, 33));
        Long(reset);
        std::map<int, Preset> channels = Channels();
        for (int channel = 0; channel < kMarkerChannel; ++channel)
            EXPECT_EQ(channels[channel], channel == 9 ? kStandardKit : kPiano) << Hex(reset) << ", channel " << channel;
        Short(Program(2, 25));
        Short(Program(9, 25));
        channels = Channels();
        EXPECT_EQ(channels[2], (Preset{0, 25})) << Hex(reset);
        EXPECT_EQ(channels[9], (Preset{128, 25})) << Hex(reset);
    }
}

// The gain FluidSynth started with, set through its shell, is the loudness master volume 16383
// gives; the gain follows the master volume from there.
TEST_F(SynthSysex, MasterVolumeScalesTheGainFluidSynthStartedWith)
{
    std::string started = Shell("get synth.gain");
    ASSERT_GT(atof(started.c_str()), 0) << "no gain from FluidSynth's shell: " << started;
    Channels(); // nothing of the driver's left for FluidSynth to take
    Shell("gain " + started);
    // The first wave input a program opens hands over sound from before it was opened.
    loudness::RecordRms(100);
    double reference = NoteLoudness();
    Long(MasterVolume(16383));
    double full = NoteLoudness();
    Long(MasterVolume(8192));
    double half = NoteLoudness();
    Long(MasterVolume(0));
    double none = NoteLoudness();
    printf("loudness at FluidSynth's gain %s: %.0f; at master volume 16383: %.0f, 8192: %.0f, 0: %.0f\n",
           started.substr(0, started.find('\n')).c_str(), reference, full, half, none);
    ASSERT_GT(reference, 50) << "nothing heard: is FluidSynth rendering into the null sink?";
    EXPECT_NEAR(full / reference, 1, 0.15);
    EXPECT_NEAR(half / reference, 0.5, 0.15);
    EXPECT_LT(none, reference * 0.02);
}

// Also run with FluidSynth's port closed (synth_sysex_without_synth_test): the driver then
// only logs, and hands every header back all the same.
TEST_F(SynthSysex, EveryLongMessageIsLoggedWithItsBytesInOrderBeforeTheNoteAfterIt)
{
    Bytes unknown = {0xF0, 0x7D, 0x01, 0x02, 0xF7};
    Bytes dump(300, 0x11);
    dump.front() = 0xF0;
    dump.back() = 0xF7;
    Long(unknown);
    Long(dump);
    Long(kGsReset);
    Short(0x90 | 60 << 8 | 100 << 16);
    Short(0x80 | 60 << 8);

    std::vector<std::string> expected = {Entry(unknown, "unknown"),
                                         "300 " + Hex(Bytes(dump.begin(), dump.begin() + 64)) + "... unknown",
                                         Entry(kGsReset, "gs-reset"), "note 60 on", "note 60 off"};
    EXPECT_EQ(Logged(), expected);
}
