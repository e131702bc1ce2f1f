// Playback benchmark: the cost of GetPosition, and a Play+Stop cycle through the plug-in
// against the bare MCI command sequence it wraps.
#include "bench/bench_common.h"

#include <mmsystem.h>
#include "tools/midi_writer.h"

static volatile int sink_value;

int main()
{
    HMODULE dll;
    InModule* mod = LoadPlugin(&dll);
    if (mod == nullptr) {
        fprintf(stderr, "cannot load midi_plugin.dll\n");
        return 1;
    }
    std::string file = TempName("playback_bench.mid");
    WriteMidiFile(file, ScaleSong(16));
    mod->SetVolume(200);

    printf("%-44s %12s %12s %9s\n", "", "plug-in", "bare", "ratio");

    // GetPosition while playing, against the tick count it reads.
    mod->Play(file.c_str());
    const int calls = 1000000;
    std::vector<double> plugin_runs, bare_runs;
    for (int run = 0; run < 7; ++run) {
        double t0 = NowMicroseconds();
        for (int i = 0; i < calls; ++i)
            sink_value = mod->GetPosition();
        double t1 = NowMicroseconds();
        for (int i = 0; i < calls; ++i)
            sink_value = (int)GetTickCount();
        double t2 = NowMicroseconds();
        plugin_runs.push_back((t1 - t0) * 1000 / calls);
        bare_runs.push_back((t2 - t1) * 1000 / calls);
    }
    mod->Stop();
    PrintRow("GetPosition vs GetTickCount", Median(plugin_runs), Median(bare_runs), "ns a call, median of 7");

    // Play+Stop through the plug-in against open/set/status/play/stop/close by hand.
    plugin_runs.clear();
    bare_runs.clear();
    for (int run = 0; run < 40; ++run) {
        double t0 = NowMicroseconds();
        mod->Play(file.c_str());
        mod->Stop();
        double t1 = NowMicroseconds();

        MCI_OPEN_PARMSA open = {};
        open.lpstrDeviceType = (LPCSTR)MCI_DEVTYPE_SEQUENCER;
        open.lpstrElementName = file.c_str();
        mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_OPEN_ELEMENT | MCI_WAIT, (DWORD_PTR)&open);
        MCI_SET_PARMS set = {};
        mciSendCommandA(open.wDeviceID, MCI_SET, MCI_SET_TIME_FORMAT | MCI_WAIT, (DWORD_PTR)&set);
        MCI_STATUS_PARMS status = {};
        status.dwItem = MCI_STATUS_LENGTH;
        mciSendCommandA(open.wDeviceID, MCI_STATUS, MCI_STATUS_ITEM | MCI_WAIT, (DWORD_PTR)&status);
        MCI_PLAY_PARMS play = {};
        mciSendCommandA(open.wDeviceID, MCI_PLAY, 0, (DWORD_PTR)&play);
        MCI_GENERIC_PARMS generic = {};
        mciSendCommandA(open.wDeviceID, MCI_STOP, MCI_WAIT, (DWORD_PTR)&generic);
        mciSendCommandA(open.wDeviceID, MCI_CLOSE, MCI_WAIT, (DWORD_PTR)&generic);
        double t2 = NowMicroseconds();
        plugin_runs.push_back((t1 - t0) / 1000);
        bare_runs.push_back((t2 - t1) / 1000);
    }
    PrintRow("Play+Stop vs bare MCI sequence", Median(plugin_runs), Median(bare_runs), "ms a cycle, median of 40");
    // Capture is on by default: with an input device the plug-in's cycle also opens it and
    // ends the capture thread, which the bare sequence does not.
    if (waveInGetNumDevs() > 0)
        printf("(with %u wave input device(s): the plug-in's cycle includes starting and ending capture)\n",
               waveInGetNumDevs());
    else
        printf("(no wave input device: the plug-in's cycle tries capture and goes on without it)\n");

    DeleteFileA(file.c_str());
    FreeLibrary(dll);
    return 0;
}
