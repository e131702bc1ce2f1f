// Check reporting for the groups, and the crash handler that turns a crash into a report.
#include "validate/report.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "validate/host.h"

namespace validate {

RunSettings run = {LevelFor(1), 1, "", false};

Level LevelFor(int level)
{
    // The full level makes 20 x 5000 = 100,000 random calls and 1,000 cycles of each kind.
    static const Level kLevels[] = {
        {1, 10, 10, 2, 250, 200, 60},
        {2, 50, 50, 4, 1000, 300, 120},
        {3, 200, 200, 8, 2000, 500, 250},
        {4, 500, 500, 12, 3500, 800, 400},
        {5, 1000, 1000, 20, 5000, 1000, 600},
    };
    if (level < 1)
        level = 1;
    if (level > 5)
        level = 5;
    return kLevels[level - 1];
}

std::string FormatV(const char* format, va_list args)
{
    char text[2048];
    vsnprintf(text, sizeof(text), format, args);
    return text;
}

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

static char activity[512];

static std::string current_check;
static DWORD last_heartbeat = 0;

// Also tells the parent, at most once a second, that the group is alive and what it does: a
// group that stops telling is hung.
void SetActivity(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(activity, sizeof(activity), format, args);
    va_end(args);
    DWORD now = GetTickCount();
    if (now - last_heartbeat >= 1000) {
        last_heartbeat = now;
        Emit("ALIVE", current_check.empty() ? "-" : current_check.c_str(), activity);
    }
}

const char* Activity() { return activity; }

static int failed_checks = 0;

int FailedChecks() { return failed_checks; }

// One line per event; newlines inside a text would break the protocol.
void Emit(const char* tag, const char* name, const std::string& text)
{
    std::string clean = text;
    for (char& c : clean)
        if (c == '\n' || c == '\r')
            c = ' ';
    printf("@%s %s | %s\n", tag, name, clean.c_str());
    fflush(stdout);
}

void Note(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    Emit("NOTE", current_check.empty() ? "-" : current_check.c_str(), text);
}

Check::Check(const char* name) : name_(name)
{
    current_check = name;
    activity[0] = '\0';
    Emit("BEGIN", name, "");
}

Check::~Check() { End(); }

bool Check::Expect(bool ok, const char* format, ...)
{
    if (ok)
        return true;
    ++problems_;
    if (problems_ <= 4) {
        va_list args;
        va_start(args, format);
        if (!problems_text_.empty())
            problems_text_ += "; ";
        problems_text_ += FormatV(format, args);
        va_end(args);
    }
    return false;
}

void Check::Figure(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    if (!figure_.empty())
        figure_ += "; ";
    figure_ += FormatV(format, args);
    va_end(args);
}

void Check::Skip(const char* format, ...)
{
    if (ended_)
        return;
    ended_ = true;
    va_list args;
    va_start(args, format);
    std::string reason = FormatV(format, args);
    va_end(args);
    if (problems_ > 0) {
        ++failed_checks;
        Emit("FAIL", name_.c_str(), problems_text_ + " (then skipped: " + reason + ")");
    } else {
        Emit("SKIP", name_.c_str(), reason);
    }
    current_check.clear();
}

void Check::End()
{
    if (ended_)
        return;
    ended_ = true;
    if (problems_ > 0) {
        ++failed_checks;
        std::string text = problems_text_;
        if (problems_ > 4)
            text += Format(" (%d problems in all)", problems_);
        if (!figure_.empty())
            text += " [" + figure_ + "]";
        Emit("FAIL", name_.c_str(), text);
    } else {
        Emit("PASS", name_.c_str(), figure_);
    }
    current_check.clear();
}

// Names the module holding an address, or the plug-in's former range once it is unloaded.
static std::string Where(void* address)
{
    HMODULE module = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           (LPCSTR)address, &module)) {
        char path[MAX_PATH];
        DWORD n = GetModuleFileNameA(module, path, sizeof(path));
        std::string name(path, n);
        name = name.substr(name.find_last_of("\\/") + 1);
        return Format("%s+0x%lx", name.c_str(), (unsigned long)((BYTE*)address - (BYTE*)module));
    }
    if (InLastPluginRange(address))
        return Format("0x%p, inside the unloaded plug-in", address);
    return Format("0x%p", address);
}

static LONG WINAPI OnCrash(EXCEPTION_POINTERS* info)
{
    EXCEPTION_RECORD* record = info->ExceptionRecord;
    std::string text = Format("crashed: exception 0x%08lx at %s", (unsigned long)record->ExceptionCode,
                              Where(record->ExceptionAddress).c_str());
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2)
        text += Format(" (%s address 0x%08lx)", record->ExceptionInformation[0] ? "writing" : "reading",
                       (unsigned long)record->ExceptionInformation[1]);
    if (activity[0] != '\0')
        text += Format(" during %s", activity);
    Emit("CRASH", current_check.empty() ? "-" : current_check.c_str(), text);
    ExitProcess(3);
    return EXCEPTION_EXECUTE_HANDLER;
}

void InstallCrashReport()
{
    SetUnhandledExceptionFilter(OnCrash);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

} // namespace validate
