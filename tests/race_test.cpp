// Host calls that meet Wine's sequencer thread as a piece ends: Pause and Resume back to back
// while the player closes the MIDI output, Stop right after Play, seeks just before the end.
// Wine's heap checks are on (ctest sets WINEDEBUG=warn+heap), so that a write into memory the
// sequencer or the MIDI mapper has freed crashes the process at once instead of corrupting the
// heap for later. A crash ends the process, so the rounds run in child processes (this program
// again), each for a bounded time, and the test counts those that did not end cleanly.
#include "tests/rig/plugin_rig.h"

#include <cstdio>
#include <cstdlib>

using rig::PluginTest;

namespace {

constexpr int kChildren = 4;
constexpr DWORD kChildMs = 14000;
// Set in a child's environment: how long it plays rounds, and its seed.
const char kRoundsVariable[] = "RACE_ROUNDS";

class Race : public PluginTest {
protected:
    // Plays rounds on the two 300 ms pieces (the second with a sysex set-up, sent before each
    // start) for `ms`; returns how many.
    int Rounds(DWORD ms, unsigned seed)
    {
        srand(seed);
        std::string pieces[2] = {rig::ProgramFolder() + "short.mid", rig::ProgramFolder() + "short-gm.mid"};
        int rounds = 0;
        for (DWORD start = GetTickCount(); GetTickCount() - start < ms; ++rounds) {
            if (mod->Play(pieces[rounds % 2].c_str()) != 0) {
                ADD_FAILURE() << "the piece did not play: " << pieces[rounds % 2];
                return rounds;
            }
            int length = mod->GetLength();
            switch (rand() % 3) {
            case 0: // Pause and Resume back to back from just before the end to just after it
                Sleep(length - 40 + rand() % 50);
                for (int i = 0; i < 10; ++i) {
                    mod->Pause();
                    mod->Resume();
                    mod->GetPosition();
                    Sleep(rand() % 8);
                }
                break;
            case 1: // Stop right after Play
                break;
            default: // seeks just before the end, a pause and a resume between them
                for (int i = 0; i < 6; ++i) {
                    mod->SetPosition(length - 1 - rand() % 25);
                    Sleep(rand() % 30);
                    mod->Pause();
                    if (rand() % 2)
                        mod->SetPosition(length - rand() % 10);
                    mod->Resume();
                    Sleep(rand() % 10);
                }
            }
            mod->Stop();
            Messages();
        }
        return rounds;
    }
};

// A crash in a child says where, and ends the process with its exception code: Wine starts
// no debugger when the process's own filter takes the exception.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    char module[MAX_PATH] = "?";
    HMODULE at = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           (LPCSTR)record->ExceptionAddress, &at))
        GetModuleFileNameA(at, module, sizeof(module));
    printf("crash: exception 0x%08lX at %p in %s\n", record->ExceptionCode, record->ExceptionAddress, module);
    fflush(stdout);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

TEST_F(Race, HostCallsAsAPieceEndsNeverCrashTheHost)
{
    char rounds_ms[32];
    if (GetEnvironmentVariableA(kRoundsVariable, rounds_ms, sizeof(rounds_ms)) != 0) {
        SetUnhandledExceptionFilter(ReportCrash);
        unsigned ms = 0, seed = 0;
        sscanf(rounds_ms, "%u,%u", &ms, &seed);
        int rounds = Rounds(ms, seed);
        printf("seed %u: %d rounds\n", seed, rounds);
        return;
    }

    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof(self));
    int crashed = 0;
    std::string failures;
    for (int i = 0; i < kChildren; ++i) {
        unsigned seed = GetTickCount() + i;
        snprintf(rounds_ms, sizeof(rounds_ms), "%lu,%u", kChildMs, seed);
        SetEnvironmentVariableA(kRoundsVariable, rounds_ms);
        std::string output;
        int code = rig::RunProgram(std::string("\"") + self + "\" --gtest_filter=Race.*", &output, kChildMs + 20000);
        SetEnvironmentVariableA(kRoundsVariable, nullptr);
        const char* told = strstr(output.c_str(), "seed ");
        if (told == nullptr)
            told = strstr(output.c_str(), "crash: ");
        printf("child %d: exit code 0x%08X, %.*s", i, (unsigned)code, told ? (int)strcspn(told, "\n") + 1 : 1,
               told ? told : "\n");
        if (code != 0) {
            ++crashed;
            failures += output.substr(output.size() > 3000 ? output.size() - 3000 : 0);
        }
    }
    printf("%d of %d processes did not end cleanly\n", crashed, kChildren);
    EXPECT_EQ(crashed, 0) << failures;
}
