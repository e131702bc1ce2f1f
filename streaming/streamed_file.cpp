// Streamed files. Retrieval is not built yet: every URL is unavailable.
#include "streaming/streamed_file.h"

#include <cstring>

static int IsUrl(const char* path)
{
    const char* colon = strchr(path, ':');
    return colon != nullptr && colon[1] == '/' && colon[2] == '/';
}

const char* ResolveStreamedPath(const char* path)
{
    return IsUrl(path) ? nullptr : path;
}

void CleanupStreamedFile(void) {}
