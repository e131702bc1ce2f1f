// Retrieval of URLs into local files through the host's download service.
#pragma once

constexpr unsigned kDownloadTargetSize = 260;

// Host thread only (see streamed_file.cpp).
extern char download_target[kDownloadTargetSize];
extern int download_is_temporary;

// Returns the local file Play should open: path itself when it is not a URL, the
// retrieved copy for a URL, or null when the URL could not be retrieved.
const char* ResolveStreamedPath(const char* path);
// Deletes a temporary download once the sequencer has closed it, and forgets the target.
void CleanupStreamedFile(void);
