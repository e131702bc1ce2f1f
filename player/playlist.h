// The songs a player run plays: files, folders (their .mid files, sorted by name), URLs and
// .m3u playlists, expanded in the order given.
#pragma once

#include <string>
#include <vector>

namespace player {

// A name is a URL when its first colon is followed by two slashes.
bool IsUrl(const std::string& name);

// The songs the entries name, in order. A folder with no .mid file or a playlist that cannot
// be read adds nothing and a line to *problems; a missing file is kept (the plug-in refuses it).
std::vector<std::string> BuildPlaylist(const std::vector<std::string>& entries, std::vector<std::string>* problems);

} // namespace player
