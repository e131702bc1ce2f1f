// validate [--seed N] [--level 1..5] [--strict] PLUGIN.dll
//
// Loads a build of the plug-in as a host does and runs groups of checks on it. Each group runs
// in a child process (this program again, with a hidden --group argument) under a watchdog,
// so that a crash or a hang is reported as the failure of the check under way and the
// validator itself always ends. Prints each check with its figure and a closing
// "N passed, N failed" line; the exit status is 0 only when every check passed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "validate/figures.h"
#include "validate/groups.h"
#include "validate/host.h"
#include "validate/report.h"

using namespace validate;

struct Group {
    const char* name;
    void (*run)();
    int base_seconds; // watchdog at level 1; grows with the level
};

static const Group kGroups[] = {
    {"load", GroupLoad, 60},
    {"playstop", GroupPlayStop, 60},
    {"random", GroupRandom, 90},
    {"input", GroupInput, 90},
    {"urls", GroupUrls, 60},
    {"fault-capture", GroupFaultCapture, 60},
    {"fault-mixer", GroupFaultMixer, 60},
    {"fault-settings", GroupFaultSettings, 60},
    {"fault-download", GroupFaultDownload, 60},
    {"fault-sink", GroupFaultSink, 60},
    {"fault-sequencer", GroupFaultSequencer, 60},
    {"careless", GroupCareless, 60},
};

static std::string SelfPath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    return std::string(path, n);
}

static std::string Quote(const std::string& text) { return "\"" + text + "\""; }

static int Usage()
{
    fprintf(stderr, "usage: validate [--seed N] [--level 1..5] [--strict] PLUGIN.dll\n"
                    "  --level  1 is a short run, 5 the full one (100,000 random calls over 20 seeds,\n"
                    "           1,000 load/unload and Play/Stop cycles)\n"
                    "  --seed   first seed of the random sequences and the generated inputs (default 1)\n"
                    "  --strict a check skipped because the build lacks its feature counts as failed\n");
    return 2;
}

// --- the parent: runs each group in a child and tallies what it reports -----------------

struct Tally {
    int passed = 0, failed = 0, skipped = 0;
};

static void PrintResult(const char* verdict, const std::string& group, const std::string& check,
                        const std::string& text)
{
    std::string name = check.find('/') == std::string::npos ? group + "/" + check : check;
    printf("  %-5s %-40s %s\n", verdict, name.c_str(), text.c_str());
    fflush(stdout);
}

struct ChildRun {
    Tally* tally;
    std::string group;
    std::string open_check;  // begun, not yet reported
    std::string activity; // the last the child said it was doing
    std::string crash;
    bool saw_end = false;
    int reported_failures = 0;
};

static void HandleLine(ChildRun* child, const std::string& line)
{
    if (line.size() < 2 || line[0] != '@')
        return;
    size_t space = line.find(' ');
    size_t bar = line.find(" | ");
    if (space == std::string::npos)
        return;
    std::string tag = line.substr(1, space - 1);
    std::string name = bar == std::string::npos ? line.substr(space + 1) : line.substr(space + 1, bar - space - 1);
    std::string text = bar == std::string::npos ? "" : line.substr(bar + 3);
    if (tag == "BEGIN") {
        child->open_check = name;
    } else if (tag == "PASS") {
        ++child->tally->passed;
        PrintResult("pass", child->group, name, text);
        child->open_check.clear();
    } else if (tag == "FAIL") {
        ++child->tally->failed;
        ++child->reported_failures;
        PrintResult("FAIL", child->group, name, text);
        child->open_check.clear();
    } else if (tag == "SKIP") {
        if (run.strict) {
            ++child->tally->failed;
            ++child->reported_failures;
            PrintResult("FAIL", child->group, name, "skipped under --strict: " + text);
        } else {
            ++child->tally->skipped;
            PrintResult("skip", child->group, name, text);
        }
        child->open_check.clear();
    } else if (tag == "ALIVE") {
        child->activity = text;
    } else if (tag == "CRASH") {
        child->crash = text;
    } else if (tag == "END") {
        child->saw_end = true;
    }
}

static std::string CommandFor(const char* group)
{
    return Format("%s --group %s --seed %u --level %d %s", Quote(SelfPath()).c_str(), group, run.seed,
                  run.level.level, Quote(run.plugin_path).c_str());
}

// Runs a command line with its output read line by line; returns the exit code, or -1 when the
// watchdog had to end it.
// A group that says nothing for this long is hung, whatever its level (a group says what it
// does at least once a second while it works); a replay, being short, sooner.
static const DWORD kStallMs = 60000;
static const DWORD kReplayStallMs = 5000;

static int RunChild(const std::string& command_line, DWORD limit_ms, DWORD stall_ms, ChildRun* child,
                    std::string* all_output)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE read_end, write_end;
    CreatePipe(&read_end, &write_end, &inherit, 1 << 16);
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process = {};
    std::string line_buffer = command_line;
    if (!CreateProcessA(nullptr, line_buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(read_end);
        CloseHandle(write_end);
        return -2;
    }
    CloseHandle(write_end);

    DWORD start = GetTickCount();
    DWORD last_output = start;
    std::string pending;
    bool killed = false;
    for (;;) {
        DWORD available = 0;
        bool pipe_open = PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr);
        if (available > 0) {
            char buffer[4096];
            DWORD n = 0;
            if (ReadFile(read_end, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &n, nullptr) && n > 0) {
                last_output = GetTickCount();
                pending.append(buffer, n);
                if (all_output != nullptr)
                    all_output->append(buffer, n);
                size_t end;
                while ((end = pending.find('\n')) != std::string::npos) {
                    std::string line = pending.substr(0, end);
                    if (!line.empty() && line.back() == '\r')
                        line.pop_back();
                    if (child != nullptr)
                        HandleLine(child, line);
                    pending.erase(0, end + 1);
                }
            }
            continue;
        }
        if (!pipe_open)
            break; // every writer has gone: the child and anything it started
        if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) {
            // Output still in the pipe is read above; a grandchild holding the pipe open is not
            // waited for beyond the watchdog.
            if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) || available == 0)
                break;
        }
        DWORD now = GetTickCount();
        if (now - start > limit_ms || now - last_output > stall_ms) {
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 5000);
            killed = true;
            break;
        }
    }
    if (child != nullptr && !pending.empty())
        HandleLine(child, pending);
    DWORD code = (DWORD)-1;
    if (!killed)
        GetExitCodeProcess(process.hProcess, &code);
    RemoveWorkFolderOf(process.dwProcessId);
    CloseHandle(read_end);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return killed ? -1 : (int)code;
}

static void RunGroup(const Group& group, Tally* tally)
{
    DWORD limit_ms = (DWORD)group.base_seconds * 1000 * (1 + 6 * (run.level.level - 1));
    ChildRun child;
    child.tally = tally;
    child.group = group.name;
    printf("%s\n", group.name);
    fflush(stdout);
    DWORD start = GetTickCount();
    int code = RunChild(CommandFor(group.name), limit_ms, kStallMs, &child, nullptr);
    printf("  (%s: %.1f s)\n", group.name, (GetTickCount() - start) / 1000.0);

    std::string check = child.open_check.empty() ? std::string(group.name) : child.open_check;
    if (code == -1 || !child.crash.empty()) {
        std::string text = code == -1 ? Format("hung (silent for %lu s, or over %lu s in all), ended by the watchdog",
                                               kStallMs / 1000, limit_ms / 1000)
                                      : child.crash;
        if (code == -1 && !child.activity.empty())
            text += "; last heard of during " + child.activity;
        if (group.run == GroupRandom) {
            // The sequence under way is replayed in children until the shortest one that still
            // crashes or hangs is found.
            unsigned seed = 0;
            int step = -1;
            const std::string& where = code == -1 ? child.activity : child.crash;
            size_t at = where.find("[seq ");
            if (at != std::string::npos)
                sscanf(where.c_str() + at, "[seq %u %d]", &seed, &step);
            if (at != std::string::npos)
                text += "; " + ShrinkInChildren(seed, code == -1 ? -1 : step);
        }
        ++tally->failed;
        PrintResult("FAIL", group.name, check, text + "; the rest of the group did not run");
        return;
    }
    if (code == -2) {
        ++tally->failed;
        PrintResult("FAIL", group.name, group.name, "could not start the group's child process");
        return;
    }
    if (!child.saw_end || (code != 0 && child.reported_failures == 0)) {
        ++tally->failed;
        PrintResult("FAIL", group.name, check, Format("the group ended with code %d before reporting its end", code));
    }
}

// --- shrinking in children --------------------------------------------------------------

namespace validate {
// Replays `sequence_file` in a child; true when the child fails, crashes or hangs.
bool ReplayFailsInChild(const std::string& sequence_file, std::string* how)
{
    std::string command = Format("%s --replay %s --seed %u --level %d %s", Quote(SelfPath()).c_str(),
                                 Quote(sequence_file).c_str(), run.seed, run.level.level, Quote(run.plugin_path).c_str());
    std::string output;
    int code = RunChild(command, 120000, kReplayStallMs, nullptr, &output);
    if (how != nullptr) {
        size_t at = output.find("@CRASH");
        *how = code == -1 ? "hangs" : at != std::string::npos ? "crashes" : code != 0 ? "fails" : "passes";
    }
    return code != 0;
}
} // namespace validate

// --- the child: one group ---------------------------------------------------------------

static int RunGroupHere(const char* name)
{
    InstallCrashReport();
    SteadyAudioLibrary();
    for (const Group& group : kGroups) {
        if (strcmp(group.name, name) == 0) {
            group.run();
            RemoveWorkFolder();
            Emit("END", name, "");
            return FailedChecks() > 0 ? 1 : 0;
        }
    }
    fprintf(stderr, "unknown group %s\n", name);
    return 2;
}

int main(int argc, char** argv)
{
    const char* group = nullptr;
    const char* replay = nullptr;
    const char* plugin = nullptr;
    int level = 1;
    run.seed = 1;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seed" && i + 1 < argc)
            run.seed = (unsigned)strtoul(argv[++i], nullptr, 10);
        else if (arg == "--level" && i + 1 < argc)
            level = atoi(argv[++i]);
        else if (arg == "--strict")
            run.strict = true;
        else if (arg == "--group" && i + 1 < argc)
            group = argv[++i];
        else if (arg == "--replay" && i + 1 < argc)
            replay = argv[++i];
        else if (arg.compare(0, 2, "--") == 0 || plugin != nullptr)
            return Usage();
        else
            plugin = argv[i];
    }
    if (plugin == nullptr || level < 1 || level > 5)
        return Usage();
    run.level = LevelFor(level);
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(plugin, sizeof(full), full, nullptr);
    run.plugin_path = n > 0 && n < sizeof(full) ? full : plugin;

    if (group != nullptr)
        return RunGroupHere(group);
    if (replay != nullptr) {
        InstallCrashReport();
        SteadyAudioLibrary();
        int code = ReplaySequence(replay);
        RemoveWorkFolder();
        return code;
    }

    if (GetFileAttributesA(run.plugin_path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "validate: %s not found\n", run.plugin_path.c_str());
        return 2;
    }
    printf("validate %s at level %d, seed %u\n", run.plugin_path.c_str(), level, run.seed);
    fflush(stdout);
    Tally tally;
    DWORD start = GetTickCount();
    for (const Group& g : kGroups)
        RunGroup(g, &tally);
    printf("(%.1f s)\n", (GetTickCount() - start) / 1000.0);
    if (tally.skipped > 0)
        printf("%d passed, %d failed, %d skipped\n", tally.passed, tally.failed, tally.skipped);
    else
        printf("%d passed, %d failed\n", tally.passed, tally.failed);
    return tally.failed == 0 && tally.passed > 0 ? 0 : 1;
}
