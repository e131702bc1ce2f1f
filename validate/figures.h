// What a process holds: handles, threads and the plug-in's temporary files, counted before and
// after a run of cycles.
#pragma once

#include <string>
#include <vector>

namespace validate {

struct Figures {
    int handles;
    int threads;
    int temp_files; // "mid*.tmp" in the temporary folder
    int work_files; // files in the validator's scratch folder
    int mci_devices; // MCI devices open in this process
    std::vector<unsigned long> thread_ids;
};

Figures Measure();
// Holds the wave output open, as a host playing sound does, and finds the multimedia library's
// device thread, so that every measurement counts it: call once, before the first.
void SteadyAudioLibrary();
// True when this machine has a wave input device that takes the capture format.
bool MachineHasWaveInput();
// Measures again until handles and threads are back at `baseline` or `settle_ms` pass: threads
// of the system's own drivers may end a moment after the call that released them.
Figures MeasureSettled(const Figures& baseline, int settle_ms = 2000);
// The figures, and where each thread that was not there before started.
std::string Describe(const Figures& before, const Figures& after);
bool SameAs(const Figures& before, const Figures& after);
int CountHandles();
int CountThreads();
int CountTempFiles();

} // namespace validate
