// Retrieval of URLs into local files through the host's download service.
#pragma once

// Returns the local file Play should open: path itself when it is not a URL, the
// retrieved copy for a URL, or null when the URL could not be retrieved.
const char* ResolveStreamedPath(const char* path);
// Deletes a temporary download once the sequencer has closed it.
void CleanupStreamedFile(void);
