// Building the play list: folders are listed, playlists read, relative entries of a playlist
// taken relative to the playlist's folder.
#include "player/playlist.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace player {

// Playlists within playlists go this deep at most, no more playlists than this are read, and
// a list this long is cut, so that no set of playlists, however made, keeps the player from
// starting.
static const size_t kMaxNesting = 8;
static const int kMaxPlaylists = 1000;
static const size_t kMaxSongs = 100000;

struct Builder {
    std::vector<std::string> songs;
    std::vector<std::string>* problems;
    std::vector<std::string> open_lists; // the playlists being read, outermost first
    int playlists_read = 0;
};

bool IsUrl(const std::string& name)
{
    size_t colon = name.find(':');
    return colon != std::string::npos && name.compare(colon + 1, 2, "//") == 0;
}

static bool EndsWith(const std::string& name, const char* extension)
{
    size_t n = strlen(extension);
    return name.size() >= n && _stricmp(name.c_str() + name.size() - n, extension) == 0;
}

static bool IsAbsolute(const std::string& name)
{
    return IsUrl(name) || name[0] == '\\' || name[0] == '/' || (name.size() >= 2 && name[1] == ':');
}

static std::string FolderOf(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

static void AddEntry(Builder& b, const std::string& entry);

static void AddFolder(Builder& b, std::string folder)
{
    if (folder.back() != '\\' && folder.back() != '/')
        folder += '\\';
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*.mid").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        // The pattern may also match longer extensions through short names.
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && EndsWith(found.cFileName, ".mid"))
            names.push_back(found.cFileName);
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    if (names.empty())
        b.problems->push_back("no .mid files in " + folder);
    std::sort(names.begin(), names.end(),
              [](const std::string& x, const std::string& y) { return _stricmp(x.c_str(), y.c_str()) < 0; });
    for (size_t i = 0; i < names.size() && b.songs.size() < kMaxSongs; ++i)
        b.songs.push_back(folder + names[i]);
}

static void AddPlaylist(Builder& b, const std::string& playlist)
{
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(playlist.c_str(), sizeof(full), full, nullptr);
    std::string key = n > 0 && n < sizeof(full) ? full : playlist;
    for (const std::string& open : b.open_lists) {
        if (_stricmp(open.c_str(), key.c_str()) == 0) {
            b.problems->push_back("skipped " + playlist + ": playlists that name each other in a loop");
            return;
        }
    }
    if (b.open_lists.size() >= kMaxNesting || b.playlists_read >= kMaxPlaylists) {
        b.problems->push_back("skipped " + playlist + ": too many playlists within playlists");
        return;
    }
    FILE* f = fopen(playlist.c_str(), "rb");
    if (f == nullptr) {
        b.problems->push_back("cannot read the playlist " + playlist);
        return;
    }
    ++b.playlists_read;
    b.open_lists.push_back(key);
    std::string folder = FolderOf(playlist);
    char line[4096];
    while (fgets(line, sizeof(line), f) != nullptr) {
        std::string entry = line;
        if (entry.size() == sizeof(line) - 1 && entry.back() != '\n') {
            // No name is that long: skip the whole line rather than play pieces of it.
            for (int c = 0; c != EOF && c != '\n';)
                c = fgetc(f);
            b.problems->push_back("a line too long in the playlist " + playlist);
            continue;
        }
        if (entry.compare(0, 3, "\xEF\xBB\xBF") == 0) // a byte-order mark
            entry.erase(0, 3);
        size_t first = entry.find_first_not_of(" \t\r\n");
        size_t last = entry.find_last_not_of(" \t\r\n");
        if (first == std::string::npos || entry[first] == '#')
            continue;
        entry = entry.substr(first, last - first + 1);
        AddEntry(b, IsAbsolute(entry) ? entry : folder + entry);
    }
    fclose(f);
    b.open_lists.pop_back();
}

static void AddEntry(Builder& b, const std::string& entry)
{
    if (entry.empty() || b.songs.size() >= kMaxSongs)
        return;
    if (IsUrl(entry)) {
        b.songs.push_back(entry);
        return;
    }
    DWORD attributes = GetFileAttributesA(entry.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        AddFolder(b, entry);
    else if (EndsWith(entry, ".m3u"))
        AddPlaylist(b, entry);
    else
        b.songs.push_back(entry);
}

std::vector<std::string> BuildPlaylist(const std::vector<std::string>& entries, std::vector<std::string>* problems)
{
    Builder b;
    b.problems = problems;
    for (const std::string& entry : entries)
        AddEntry(b, entry);
    if (b.songs.size() >= kMaxSongs)
        problems->push_back("the list is cut at " + std::to_string(kMaxSongs) + " songs");
    return b.songs;
}

} // namespace player
