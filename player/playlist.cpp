// Building the play list: folders are listed, playlists read, relative entries of a playlist
// taken relative to the playlist's folder.
#include "player/playlist.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace player {

// A playlist that names itself, or two that name each other, stop here.
static const int kMaxNesting = 8;

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

static void AddEntry(const std::string& entry, int nesting, std::vector<std::string>* songs,
                     std::vector<std::string>* problems);

static void AddFolder(std::string folder, std::vector<std::string>* songs, std::vector<std::string>* problems)
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
        problems->push_back("no .mid files in " + folder);
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return _stricmp(a.c_str(), b.c_str()) < 0; });
    for (const std::string& name : names)
        songs->push_back(folder + name);
}

static void AddPlaylist(const std::string& playlist, int nesting, std::vector<std::string>* songs,
                        std::vector<std::string>* problems)
{
    FILE* f = nesting < kMaxNesting ? fopen(playlist.c_str(), "rb") : nullptr;
    if (f == nullptr) {
        problems->push_back("cannot read the playlist " + playlist);
        return;
    }
    std::string folder = FolderOf(playlist);
    char line[4096];
    while (fgets(line, sizeof(line), f) != nullptr) {
        std::string entry = line;
        if (entry.size() == sizeof(line) - 1 && entry.back() != '\n') {
            // No name is that long: skip the whole line rather than play pieces of it.
            for (int c = 0; c != EOF && c != '\n';)
                c = fgetc(f);
            problems->push_back("a line too long in the playlist " + playlist);
            continue;
        }
        if (entry.compare(0, 3, "\xEF\xBB\xBF") == 0) // a byte-order mark
            entry.erase(0, 3);
        size_t first = entry.find_first_not_of(" \t\r\n");
        size_t last = entry.find_last_not_of(" \t\r\n");
        if (first == std::string::npos || entry[first] == '#')
            continue;
        entry = entry.substr(first, last - first + 1);
        AddEntry(IsAbsolute(entry) ? entry : folder + entry, nesting + 1, songs, problems);
    }
    fclose(f);
}

static void AddEntry(const std::string& entry, int nesting, std::vector<std::string>* songs,
                     std::vector<std::string>* problems)
{
    if (entry.empty())
        return;
    if (IsUrl(entry)) {
        songs->push_back(entry);
        return;
    }
    DWORD attributes = GetFileAttributesA(entry.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        AddFolder(entry, songs, problems);
    else if (EndsWith(entry, ".m3u"))
        AddPlaylist(entry, nesting, songs, problems);
    else
        songs->push_back(entry);
}

std::vector<std::string> BuildPlaylist(const std::vector<std::string>& entries, std::vector<std::string>* problems)
{
    std::vector<std::string> songs;
    for (const std::string& entry : entries)
        AddEntry(entry, 0, &songs, problems);
    return songs;
}

} // namespace player
