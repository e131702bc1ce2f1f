// The stand-in host player, run as a user runs it.
#include "tests/rig/plugin_rig.h"

using rig::PluginTest;

TEST_F(PluginTest, PlayerPlaysAFileToItsEndAndExitsZero)
{
    std::string path = WriteScale("short.mid", 2);
    std::string output;
    int code = rig::RunProgram("\"" + rig::ProgramFolder() + "player.exe\" \"" + path + "\"", &output, 30000);
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("short.mid"), std::string::npos) << output;
    EXPECT_NE(output.find("0:01 / 0:01"), std::string::npos) << output;
    EXPECT_NE(output.find("End of file."), std::string::npos) << output;
}

TEST_F(PluginTest, PlayerReportsARefusedFileInOneLine)
{
    std::string path = WriteBytes("broken.mid", "MThd but not really");
    std::string output;
    int code = rig::RunProgram("\"" + rig::ProgramFolder() + "player.exe\" \"" + path + "\"", &output, 30000);
    EXPECT_EQ(code, 1) << output;
    EXPECT_NE(output.find("error: the sequencer refused"), std::string::npos) << output;
}

TEST_F(PluginTest, PlayerListsTitlesAndLengthsWithInfo)
{
    std::string two = WriteScale("two.mid", 2);
    std::string broken = WriteBytes("broken.mid", "not MIDI");
    std::string output;
    int code = rig::RunProgram("\"" + rig::ProgramFolder() + "player.exe\" --info \"" + two + "\" \"" + broken +
                                   "\" http://127.0.0.1:9/songs/tune.mid",
                               &output, 30000);
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("two.mid\t0:01.000"), std::string::npos) << output;
    EXPECT_NE(output.find("broken.mid\tunknown"), std::string::npos) << output;
    EXPECT_NE(output.find("tune.mid\tunknown"), std::string::npos) << output;
}

// Keys come from standard input redirected from a file: volume and pan show in the progress
// line, and seeking forward past the end finishes a two-minute file at once.
TEST_F(PluginTest, PlayerKeysChangeVolumeAndPanAndSeek)
{
    std::string song = WriteScale("long.mid", 240);
    std::string keys = WriteBytes("keys.txt", "--]" + std::string(30, '>'));
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE input = CreateFileA(keys.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr);
    HANDLE own_input = GetStdHandle(STD_INPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, input); // the player inherits it as its standard input
    std::string output;
    int code = rig::RunProgram("\"" + rig::ProgramFolder() + "player.exe\" \"" + song + "\"", &output, 60000);
    SetStdHandle(STD_INPUT_HANDLE, own_input);
    CloseHandle(input);
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("vol 223 pan +16"), std::string::npos) << output;
    EXPECT_NE(output.find("2:00 / 2:00"), std::string::npos) << output;
    EXPECT_NE(output.find("End of file."), std::string::npos) << output;
}
