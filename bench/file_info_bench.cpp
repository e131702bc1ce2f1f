// File information benchmark: GetFileInfo over a playlist of generated files against the
// bare MCI open/set/status/close sequence on the same files, in the same run.
#include "bench/bench_common.h"

#include <mmsystem.h>

#include <cstring>

#include "playback/file_info.h"
#include "tools/midi_writer.h"

static const int kFiles = 240;
static const int kRounds = 9;

static int BareLength(const char* file)
{
    MCI_OPEN_PARMSA open = {};
    open.lpstrDeviceType = (LPCSTR)MCI_DEVTYPE_SEQUENCER;
    open.lpstrElementName = file;
    if (mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_OPEN_ELEMENT | MCI_WAIT, (DWORD_PTR)&open) != 0)
        return kUnknownLength;
    MCI_SET_PARMS set = {};
    mciSendCommandA(open.wDeviceID, MCI_SET, MCI_SET_TIME_FORMAT | MCI_WAIT, (DWORD_PTR)&set);
    MCI_STATUS_PARMS status = {};
    status.dwItem = MCI_STATUS_LENGTH;
    MCIERROR result = mciSendCommandA(open.wDeviceID, MCI_STATUS, MCI_STATUS_ITEM | MCI_WAIT, (DWORD_PTR)&status);
    MCI_GENERIC_PARMS close = {};
    mciSendCommandA(open.wDeviceID, MCI_CLOSE, MCI_WAIT, (DWORD_PTR)&close);
    return result == 0 ? (int)status.dwReturn : kUnknownLength;
}

// The title without regard to the code page, as a floor for the plug-in's walk.
static volatile char title_sink;
static void CopyTitle(char* title, const char* file)
{
    const char* slash = strrchr(file, '\\');
    lstrcpynA(title, slash ? slash + 1 : file, kTitleCapacity);
    title_sink = title[0];
}

int main()
{
    HMODULE dll;
    InModule* mod = LoadPlugin(&dll);
    if (mod == nullptr) {
        fprintf(stderr, "cannot load midi_plugin.dll\n");
        return 1;
    }
    std::string folder = TempName("file_info_bench\\");
    CreateDirectoryA(folder.c_str(), nullptr);
    std::vector<std::string> files;
    for (int i = 0; i < kFiles; ++i) {
        char name[32];
        snprintf(name, sizeof(name), "song%03d.mid", i);
        files.push_back(folder + name);
        WriteMidiFile(files.back(), ScaleSong(4 + i % 60));
    }

    // Each file is asked both ways back to back, in alternating order, so that the shared
    // machine's changing load falls on both sides of each pair; medians over all pairs.
    std::vector<double> plugin_us, bare_us, pair_ratio, plugin_pass(kRounds), bare_pass(kRounds);
    int mismatches = 0;
    char title[kTitleCapacity];
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kFiles; ++i) {
            int plugin_length = 0, bare_length = 0;
            double plugin_time = 0, bare_time = 0;
            for (int side = 0; side < 2; ++side) {
                bool plugin = (side == 0) == ((round + i) % 2 == 0);
                double t0 = NowMicroseconds();
                if (plugin)
                    mod->GetFileInfo(files[i].c_str(), title, &plugin_length);
                else
                    bare_length = BareLength(files[i].c_str());
                (plugin ? plugin_time : bare_time) = NowMicroseconds() - t0;
            }
            plugin_pass[round] += plugin_time / 1000;
            bare_pass[round] += bare_time / 1000;
            plugin_us.push_back(plugin_time);
            bare_us.push_back(bare_time);
            pair_ratio.push_back(plugin_time / bare_time);
            mismatches += plugin_length != bare_length || plugin_length != (4 + i % 60) * 500;
        }
    }

    // The title alone: no device is opened, only the walk back by ANSI characters.
    std::vector<double> title_runs, strrchr_runs;
    for (int round = 0; round < kRounds; ++round) {
        double t0 = NowMicroseconds();
        for (int i = 0; i < kFiles; ++i)
            mod->GetFileInfo(files[i].c_str(), title, nullptr);
        double t1 = NowMicroseconds();
        for (int i = 0; i < kFiles; ++i)
            CopyTitle(title, files[i].c_str());
        double t2 = NowMicroseconds();
        title_runs.push_back((t1 - t0) / kFiles);
        strrchr_runs.push_back((t2 - t1) / kFiles);
    }

    double plugin = Median(plugin_us), bare = Median(bare_us);
    printf("%d files, %d passes; lengths that differ from the expected: %d\n", kFiles, kRounds, mismatches);
    printf("%-44s %12s %12s %9s\n", "", "plug-in", "bare", "ratio");
    PrintRow("playlist pass", Median(plugin_pass), Median(bare_pass), "ms, median of the passes");
    PrintRow("GetFileInfo vs open/set/status/close", plugin, bare, "us a file, median");
    PrintRow("files a second", 1e6 / plugin, 1e6 / bare, "from the medians");
    printf("%-44s %34.2fx\n", "median of the paired ratios", Median(pair_ratio));
    PrintRow("title only vs strrchr copy", Median(title_runs), Median(strrchr_runs), "us a file, median");
    printf("(path length %u bytes)\n", (unsigned)files[0].size());

    for (const std::string& file : files)
        DeleteFileA(file.c_str());
    RemoveDirectoryA(folder.c_str());
    FreeLibrary(dll);
    return mismatches == 0 ? 0 : 1;
}
