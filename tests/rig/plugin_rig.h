// Test rig: loads the shipped plug-in afresh for each test and plays the host around it.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "hostlib/host.h"
#include "host/in_module.h"
#include "tools/import_patch.h"

namespace rig {

// Everything the host doubles and substituted system functions saw, in order, as text
// such as "announce_format(0,44,2,1)" or "mci OPEN 0x3202". Sinks add from the capture
// thread, so go through AddEvent/Events.
void AddEvent(const std::string& event);
std::vector<std::string> Events();
void ClearEvents();
int CountEvents(const std::string& prefix);

// A window message the host window received (sent or posted).
using hostlib::Message;

// What the host window answers to the download-service query.
extern LRESULT download_service_answer;

// Rewrites one import address table entry of `module` for the life of this object; a
// missing import fails the test.
class ImportPatch : public ::ImportPatch {
public:
    ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement);
};

// Hides Wine from `module` for the life of this object (its GetProcAddress finds no
// wine_get_version): it then takes the sequencer for any other system's.
class HideWine : public ImportPatch {
public:
    explicit HideWine(HMODULE module);
};

// Whether `module` imports dll!function, so that a test can tell a part not yet built in.
using ::Imports;

// Replaces GetTickCount in the plug-in with a counter the test sets.
class FakeTicks {
public:
    explicit FakeTicks(HMODULE module, DWORD start = 1000);
    void Set(DWORD ticks) { ticks_.Set(ticks); }
    void Advance(DWORD ms) { ticks_.Advance(ms); }

private:
    FakeTickCount ticks_;
};

// One command the plug-in sent to mciSendCommandA, with the first words of its record.
struct MciCall {
    MCIDEVICEID device;
    UINT command;
    DWORD_PTR flags;
    DWORD words[5]; // the record's fields in order, as passed in (before the system writes to it)
    std::string element; // element name of an open
};

// Records every MCI command; either forwards it to the real sequencer or answers it itself.
class MciRecorder {
public:
    // forward: pass the commands on to Wine's sequencer; otherwise answer them with
    // `answers`, giving device ID 7 on open and length `fake_length` on a status query.
    MciRecorder(HMODULE module, bool forward);
    ~MciRecorder();
    std::vector<MciCall> Calls() const;
    void Clear();
    // Result to give for a command (0 unless set); only when not forwarding.
    void Fail(UINT command, MCIERROR result);
    DWORD fake_length = 4000;
    MCIDEVICEID next_device = 7;

private:
    ImportPatch patch_;
};

// Names an MCI command for event texts ("OPEN", "PLAY", ...).
const char* MciName(UINT command);

// A fresh load of the plug-in through the host library; its host services add their calls to
// the events. LoadSettings is left to the test.
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Delivers posted messages to the host window and returns all it has received.
    std::vector<Message> Messages();
    int CountMessages(UINT message);
    // A per-test folder in the temporary folder, removed after the test.
    const std::string& Folder();
    // Writes a scale of `quarters` quarter notes (quarters * 500 ms) into Folder().
    std::string WriteScale(const char* name, int quarters);
    std::string WriteBytes(const char* name, const std::string& bytes);

    // What playing on to the end showed: the position last read before the plug-in posted the
    // end of the file, the first position read past the length, and how many ends it posted.
    struct Ending {
        int posted_after = -1, first_past = -1, messages = 0;
    };
    // Plays on, reading the position and pumping the host window every 10 ms, until `ms` have
    // passed or the end was posted and `after_end_ms` more have.
    Ending PlayToEnd(int ms, int after_end_ms = 200);

    HMODULE dll = nullptr;
    InModule* mod = nullptr;
    InModule record_at_load = {}; // the record as the export first returned it
    HWND window = nullptr;

private:
    hostlib::Host host_;
    std::string folder_;
};

// The address of a global variable of the loaded plug-in, found by its name in the link map
// beside the DLL ("prompt_to_save"), for state no host call reaches; null when not found.
void* PluginVariable(HMODULE module, const char* name);

// The folder of the running test program (with a trailing backslash), where the build puts
// the plug-in, the player and the settings-folder library.
using hostlib::ProgramFolder;
// Runs a program, returns its exit code (or -1 when it does not end in `timeout_ms`) and
// what it wrote to stdout and stderr.
int RunProgram(const std::string& command_line, std::string* output, DWORD timeout_ms);

} // namespace rig
