// The stand-in host player, run as a user runs it.
#include "tests/rig/plugin_rig.h"

using rig::PluginTest;

// A list of two songs, a refused file between them and the second named by a playlist (its
// comments skipped, its entry taken from its folder): each song plays to its end, the
// end-of-file message moves the player on, Stop comes between songs, and it exits 0.
TEST_F(PluginTest, PlayerPlaysAListInOrderWithStopBetweenSongs)
{
    std::string first = WriteScale("first.mid", 2);
    std::string broken = WriteBytes("broken.mid", "MThd but not really");
    std::string second = WriteScale("second.mid", 2);
    std::string list = WriteBytes("list.m3u", "#EXTM3U\r\n# the last song\r\nsecond.mid\r\n");
    std::string output;
    int code = rig::RunProgram("\"" + rig::ProgramFolder() + "player.exe\" --console --trace \"" + first + "\" \"" + broken +
                                   "\" \"" + list + "\"",
                               &output, 60000);
    EXPECT_EQ(code, 0) << output;
    const std::string in_order[] = {"Play(" + first + ")", "Play returned 0", "end of file", "Stop()", "vis_close()",
                                    "Play(" + broken + ")", "Play returned 1", "Stop()",
                                    "Play(" + second + ")", "Play returned 0", "end of file", "Stop()", "vis_close()"};
    size_t at = 0;
    for (const std::string& step : in_order) {
        at = output.find("trace: " + step, at);
        ASSERT_NE(at, std::string::npos) << "not in order: " << step << "\n" << output;
    }
    EXPECT_NE(output.find("error: the sequencer refused " + broken), std::string::npos) << output;
    EXPECT_NE(output.find("[3/3] second.mid"), std::string::npos) << output;
    EXPECT_NE(output.find("0:01 / 0:01"), std::string::npos) << output;
    EXPECT_NE(output.find("Played 2 of 3 songs."), std::string::npos) << output;
}

TEST_F(PluginTest, PlayerReportsARefusedFileInOneLine)
{
    std::string path = WriteBytes("broken.mid", "MThd but not really");
    std::string output;
    int code = rig::RunProgram("\"" + rig::ProgramFolder() + "player.exe\" --console \"" + path + "\"", &output, 30000);
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
    int code = rig::RunProgram("\"" + rig::ProgramFolder() + "player.exe\" --console \"" + song + "\"", &output, 60000);
    SetStdHandle(STD_INPUT_HANDLE, own_input);
    CloseHandle(input);
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("vol 223 pan +16"), std::string::npos) << output;
    EXPECT_NE(output.find("2:00 / 2:00"), std::string::npos) << output;
    EXPECT_NE(output.find("End of file."), std::string::npos) << output;
}
