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
