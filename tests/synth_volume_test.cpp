// The output's own volume through the MIDI output driver (synth/), as the commands it sends
// FluidSynth's shell: the test is the shell here, on a loopback port of its own that
// MIDI_SYNTH_PORT names, and answers what the driver asks when it connects (FluidSynth's gain
// 0.6 and its SoundFont). What FluidSynth makes of the commands is heard in music_test.
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/synth_device.h"

namespace {

using synth_device::MasterVolume;

using Lines = std::vector<std::string>;

// One connection at a time; Drop ends it, so that the driver connects afresh at its next open.
class FakeShell {
public:
    FakeShell()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof(address);
        bind(listener_, (sockaddr*)&address, size);
        getsockname(listener_, (sockaddr*)&address, &size);
        port = ntohs(address.sin_port);
        listen(listener_, 4);
        thread_ = std::thread([this] {
            for (SOCKET client; (client = accept(listener_, nullptr, nullptr)) != INVALID_SOCKET;)
                Serve(client);
        });
    }
    ~FakeShell()
    {
        closesocket(listener_); // ends accept
        Drop();
        thread_.join();
    }
    void Drop()
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (client_ != INVALID_SOCKET)
            shutdown(client_, SD_BOTH);
        answered_ = false;
    }
    // The command lines received since the last call.
    Lines Take()
    {
        std::lock_guard<std::mutex> hold(lock_);
        Lines taken;
        taken.swap(lines_);
        return taken;
    }
    // Whether the connection's questions have been answered.
    bool Answered()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return answered_;
    }
    int port = 0;

private:
    void Serve(SOCKET client)
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            client_ = client;
            answered_ = false;
        }
        std::string pending;
        char buffer[1024];
        for (int got; (got = recv(client, buffer, sizeof(buffer), 0)) > 0;) {
            pending.append(buffer, got);
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                std::string line = pending.substr(0, end);
                std::lock_guard<std::mutex> hold(lock_);
                if (line == "get synth.gain") {
                    send(client, "0.600\n", 6, 0);
                } else if (line == "fonts") {
                    const char kFonts[] = "ID  Name\n 1  TimGM6mb.sf2\n";
                    send(client, kFonts, sizeof(kFonts) - 1, 0);
                    answered_ = true;
                } else {
                    lines_.push_back(line);
                }
            }
        }
        std::lock_guard<std::mutex> hold(lock_);
        closesocket(client);
        client_ = INVALID_SOCKET;
    }

    SOCKET listener_ = INVALID_SOCKET, client_ = INVALID_SOCKET;
    bool answered_ = false;
    std::mutex lock_;
    Lines lines_;
    std::thread thread_;
};

FakeShell* shell;

// "cc <channel> 8 <value>" for all 16 channels.
Lines Balance(int value)
{
    Lines lines;
    for (int channel = 0; channel < 16; ++channel)
        lines.push_back("cc " + std::to_string(channel) + " 8 " + std::to_string(value));
    return lines;
}

Lines Joined(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

class SynthVolume : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        shell = new FakeShell;
        SetEnvironmentVariableA("MIDI_SYNTH_PORT", std::to_string(shell->port).c_str());
    }
    static void TearDownTestSuite()
    {
        delete shell;
        shell = nullptr;
    }
    void SetUp() override
    {
        device_ = synth_device::Find();
        ASSERT_LT(device_, midiOutGetNumDevs());
    }
    void TearDown() override
    {
        if (out_ != nullptr)
            midiOutClose(out_);
        midiOutSetVolume(Id(), 0xFFFFFFFF);
        // The next test's open connects afresh.
        shell->Drop();
        Sleep(200);
        shell->Take();
    }

    HMIDIOUT Id() { return (HMIDIOUT)(UINT_PTR)device_; }

    // Opens the device, which connects the driver to the shell afresh, and waits until the
    // shell has told the driver its gain; returns the commands sent up to then.
    Lines Open()
    {
        EXPECT_EQ(midiOutOpen(&out_, device_, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        for (DWORD start = GetTickCount(); GetTickCount() - start < 5000 && !shell->Answered(); Sleep(5))
            ;
        EXPECT_TRUE(shell->Answered()) << "the driver never asked the shell";
        Sleep(100); // the driver's reader takes the answers
        return Taken();
    }
    // The commands sent since the last look, once they have stopped coming for a moment.
    Lines Taken()
    {
        Lines all;
        for (int quiet = 0; quiet < 10; Sleep(10)) {
            Lines more = shell->Take();
            quiet = more.empty() ? quiet + 1 : 0;
            all.insert(all.end(), more.begin(), more.end());
        }
        return all;
    }
    void Long(std::vector<BYTE> bytes)
    {
        MIDIHDR header = {};
        header.lpData = (LPSTR)bytes.data();
        header.dwBufferLength = bytes.size();
        ASSERT_EQ(midiOutPrepareHeader(out_, &header, sizeof(header)), MMSYSERR_NOERROR);
        EXPECT_EQ(midiOutLongMsg(out_, &header, sizeof(header)), MMSYSERR_NOERROR);
        midiOutUnprepareHeader(out_, &header, sizeof(header));
    }

    UINT device_ = 0;
    HMIDIOUT out_ = nullptr;
};

} // namespace

// First in this program: the driver has not connected yet.
TEST_F(SynthVolume, AVolumeSetBeforeTheDriverConnectsAppliesWhenItConnects)
{
    MIDIOUTCAPSA caps;
    ASSERT_EQ(midiOutGetDevCapsA(device_, &caps, sizeof(caps)), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.dwSupport & (MIDICAPS_VOLUME | MIDICAPS_LRVOLUME), (DWORD)(MIDICAPS_VOLUME | MIDICAPS_LRVOLUME));
    DWORD volume = 0;
    ASSERT_EQ(midiOutGetVolume(Id(), &volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0xFFFFFFFFu) << "full volume until set";

    // Left at a quarter of the right, which is at half: the gain is half the started one, and
    // every channel's balance turns right so far that the left keeps (1 - 32 / 64)^2 of it.
    ASSERT_EQ(midiOutSetVolume(Id(), 0x80002000), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutGetVolume(Id(), &volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0x80002000u);
    Lines sent = Open();
    // The gain waits for the shell's answer, and goes out before the next command after it:
    // among the balances if it comes while they go out, else before the note.
    midiOutShortMsg(out_, 0x00403C90);
    sent = Joined({sent, Taken()});
    auto gain = std::find(sent.begin(), sent.end(), "gain 0.300004"); // 0.6 * 0x8000 / 0xFFFF
    ASSERT_NE(gain, sent.end());
    sent.erase(gain);
    EXPECT_EQ(sent, Joined({{"reset"}, Balance(96), {"noteon 0 60 64"}}));
}

// The louder side scales the gain, beside the file's master volume (neither undoes the other);
// the quieter one turns every channel's balance away from it.
TEST_F(SynthVolume, TheLouderSideScalesTheGainWithTheMasterVolumeAndTheOtherTurnsTheBalance)
{
    EXPECT_EQ(Open(), Lines{"reset"});
    // Half the right's level on the left: the left keeps (1 - 19 / 64)^2 = 0.49.
    midiOutSetVolume(Id(), 0x80004000);
    EXPECT_EQ(Taken(), Joined({{"gain 0.300004"}, Balance(83)})); // 0.6 * 0x8000 / 0xFFFF
    midiOutSetVolume(Id(), 0x80004000);
    EXPECT_EQ(Taken(), Lines{}) << "nothing changed";
    // Louder, all to the other side; through the handle as well as the device's identifier.
    midiOutSetVolume(out_, 0x0000FFFF);
    EXPECT_EQ(Taken(), Joined({{"gain 0.600000"}, Balance(0)}));
    DWORD volume = 0;
    EXPECT_EQ(midiOutGetVolume(out_, &volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0x0000FFFFu);
    midiOutSetVolume(Id(), 0); // silence has no sides
    EXPECT_EQ(Taken(), Joined({{"gain 0.000000"}, Balance(64)}));

    Long(MasterVolume(8192));
    midiOutSetVolume(Id(), 0x40004000);
    EXPECT_EQ(Taken(), (Lines{"gain 0.000000", "gain 0.075005"})); // 0.6 * 8192 / 16383 * 0x4000 / 0xFFFF
    Long(MasterVolume(16383));
    EXPECT_EQ(Taken(), Lines{"gain 0.150002"});
}

// The music's own balance (controller 8) passes as it is while the output's is in the middle,
// and is multiplied with it otherwise; a reset puts the output's balance back on every channel.
TEST_F(SynthVolume, TheMusicsBalanceCombinesWithTheOutputsAndAResetKeepsTheOutputs)
{
    Open();
    midiOutShortMsg(out_, 0x006008B3); // channel 3, controller 8, 96
    EXPECT_EQ(Taken(), (Lines{"gain 0.600000", "cc 3 8 96"})) << "the gain of the connection first";
    midiOutSetVolume(Id(), 0xFFFF7FFF);
    Lines expected = Balance(83);
    expected[3] = "cc 3 8 106"; // left shares (1 - 32 / 64)^2 * (1 - 19 / 64)^2 = (1 - 42 / 64)^2
    EXPECT_EQ(Taken(), expected);
    midiOutShortMsg(out_, 0x004008B3); // the music back in the middle
    EXPECT_EQ(Taken(), Lines{"cc 3 8 83"});
    Long({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}); // General MIDI System On
    EXPECT_EQ(Taken(), Joined({{"reset"}, Balance(83)}));
}
