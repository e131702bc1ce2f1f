// The stand-in host player: loads the plug-in from its own folder as a media player does and
// plays a list of files, folders, URLs and .m3u playlists (or the demo tune), in a window when
// there is a display, else on the console.
//   player [--trace] [--window|--console] [FILE|FOLDER|URL|PLAYLIST.m3u]...
//   player --info FILE...     each file's title and length, as a playlist scan shows them
//   player --settings | --about
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hostlib/host.h"
#include "player/console.h"
#include "player/playlist.h"
#include "player/session.h"
#include "player/window.h"

// One line per file: its title and length as the plug-in reports them.
static void ShowInfo(InModule* mod, const std::vector<std::string>& files)
{
    for (const std::string& file : files) {
        char title[kTitleCapacity];
        int length = 0;
        mod->GetFileInfo(file.c_str(), title, &length);
        if (length == kUnknownLength)
            printf("%s\tunknown\n", title);
        else
            printf("%s\t%d:%02d.%03d\n", title, length / 60000, length / 1000 % 60, length % 1000);
    }
}

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    bool trace = false, window = false, console = false;
    for (; !args.empty() && (args[0] == "--trace" || args[0] == "--window" || args[0] == "--console");
         args.erase(args.begin())) {
        trace = trace || args[0] == "--trace";
        window = window || args[0] == "--window";
        console = console || args[0] == "--console";
    }
    std::string command = !args.empty() && args[0].compare(0, 2, "--") == 0 ? args[0] : "";
    if (!command.empty())
        args.erase(args.begin());
    if (command != "" && command != "--info" && command != "--settings" && command != "--about") {
        fprintf(stderr, "usage: player [--trace] [--window|--console] [FILE|FOLDER|URL|PLAYLIST.m3u]...\n"
                        "       player --info FILE... | --settings | --about\n");
        return 3;
    }

    // The window, when there is one, is the host window the plug-in sends its messages to.
    HWND main_window = nullptr;
    if (command.empty() && !console && (window || player::DisplayPresent())) {
        main_window = player::CreateMainWindow();
        if (main_window == nullptr && window) {
            fprintf(stderr, "error: cannot open a window (error %lu)\n", GetLastError());
            return 3;
        }
    }
    hostlib::Host host;
    host.options.window = main_window;
    std::string error;
    if (!host.Load(&error)) {
        fprintf(stderr, "error: %s\n", error.c_str());
        return 3;
    }
    InModule* mod = host.mod;
    if (command == "--settings" || command == "--about") {
        if (command == "--settings")
            mod->ShowSettings(nullptr);
        else
            mod->ShowAbout(nullptr);
        return 0;
    }

    std::vector<std::string> problems;
    if (args.empty() && command.empty())
        args.push_back(hostlib::ProgramFolder() + "demo.mid");
    std::vector<std::string> songs = player::BuildPlaylist(args, &problems);
    for (const std::string& problem : problems)
        fprintf(stderr, "warning: %s\n", problem.c_str());
    if (command == "--info") {
        ShowInfo(mod, songs);
        return 0;
    }
    if (songs.empty()) {
        fprintf(stderr, "error: nothing to play\n");
        return 1;
    }
    player::Session session(mod, songs);
    if (main_window != nullptr)
        return player::RunWindow(main_window, host, session, trace);
    return player::RunConsole(host, session, trace);
}
