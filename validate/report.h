// How a group reports its checks to the parent validator: one line per event on stdout,
// each starting with "@" so that anything else a child prints is ignored.
#pragma once

#include <string>

namespace validate {

// How long the run is: counts scale with the level (1 short ... 5 full).
struct Level {
    int level;
    int load_cycles;     // load/unload cycles per variant
    int play_cycles;     // Play/Stop cycles per variant
    int seeds;           // random sequences
    int calls_per_seed;  // host calls in each random sequence
    int corpus;          // truncated and corrupted MIDI files
    int odd_names;       // names made of odd bytes
};
Level LevelFor(int level);

struct RunSettings {
    Level level;
    unsigned seed;
    std::string plugin_path; // full path of the DLL under test
    bool strict;             // skips count as failures
};
extern RunSettings run;

// What the group is doing now; named in a crash report.
void SetActivity(const char* format, ...);
const char* Activity();

// One check: collects problems, reports PASS with its figure or FAIL with the first problems.
class Check {
public:
    explicit Check(const char* name);
    ~Check(); // reports, unless Skip or End was called
    // Records a problem when ok is false; returns ok.
    bool Expect(bool ok, const char* format, ...);
    void Figure(const char* format, ...); // appends to the figure text
    void Skip(const char* format, ...);
    void End();
    bool failed() const { return problems_ > 0; }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    std::string figure_;
    std::string problems_text_;
    int problems_ = 0;
    bool ended_ = false;
};

// Lines for the parent.
void Note(const char* format, ...);
void Emit(const char* tag, const char* name, const std::string& text);
int FailedChecks(); // in this process

std::string Format(const char* format, ...);
std::string FormatV(const char* format, va_list args);

// Installs the handler that reports a crash of this process as a failure of the check under
// way, naming the module and offset of the faulting address.
void InstallCrashReport();

} // namespace validate
