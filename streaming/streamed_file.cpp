// Streamed files: the host downloads a URL into a local file (one the user names in the save
// dialog, or a temporary one) and Play opens that copy; Stop deletes a temporary copy.
#include "streaming/streamed_file.h"

#include <windows.h>
#include <commdlg.h>

#include <cstddef>
#include <cstring>

#include "host/host_calls.h"
#include "host/host_services.h"
#include "settings/settings_store.h"
#include "text/bounded_text.h"

// Touched only on the host thread, inside Play and Stop, one call at a time.
// download_target names the local copy of the current URL and is empty when there is none;
// while it is not empty, download_is_temporary is 1 exactly when that copy is a temporary
// file this module created and therefore must delete. Both are cleared together.
char download_target[kDownloadTargetSize];
int download_is_temporary = 0;

static const char kStatusText[] = "Retrieving MIDI file";

// The save dialog takes the older OPENFILENAMEA form (host/in_module.h checks its layout).
static_assert((OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY) == 0x80006);

// A path is a URL when its first ':' is followed by "//": "C:\music\a.mid" is not.
static int IsUrl(const char* path)
{
    const char* colon = strchr(path, ':');
    return colon != nullptr && colon[1] == '/' && colon[2] == '/';
}

static void ForgetTarget(void)
{
    download_target[0] = '\0';
    download_is_temporary = 0;
}

// Proposes the URL's last segment as the name and lets the user choose where to keep the
// file. Returns 1 with download_target holding the chosen file, 0 when the user declined
// (download_target is then empty).
static int AskWhereToSave(const char* url)
{
    const char* name = url + strlen(url);
    while (name > url && name[-1] != '/')
        --name;
    // A segment too long for the buffer is not proposed at all: a cut one would lose its
    // end, extension included, and leave no room for the folder the dialog adds.
    if (!CopyText(download_target, sizeof(download_target), name))
        download_target[0] = '\0';

    OPENFILENAME_NT4A dialog;
    ZeroMemory(&dialog, sizeof(dialog));
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = in_module.main_window;
    dialog.lpstrFilter = "All files\0*.*\0"; // the literal's own NUL ends the list
    dialog.lpstrFile = download_target;
    dialog.nMaxFile = sizeof(download_target) - 1;
    dialog.lpstrTitle = "Save MIDI";
    dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY;
    dialog.lpstrDefExt = "mid";
    if (!GetSaveFileNameA((OPENFILENAMEA*)&dialog))
        download_target[0] = '\0';
    return download_target[0] != '\0';
}

// Creates an empty, uniquely named file with the prefix "mid" in the temporary folder and
// makes it the target. Returns 0, with no target, when no such file could be created:
// downloading into an empty or stale name would overwrite some other file.
static int CreateTemporaryTarget(void)
{
    char folder[MAX_PATH];
    DWORD length = GetTempPathA(sizeof(folder), folder);
    if (length == 0 || length >= sizeof(folder))
        return 0;
    if (GetTempFileNameA(folder, "mid", 0, download_target) == 0) {
        download_target[0] = '\0';
        return 0;
    }
    download_is_temporary = 1;
    return 1;
}

const char* ResolveStreamedPath(const char* path)
{
    // A temporary copy can outlive its Play only when the sequencer refused it and no Stop
    // followed; its name is about to be forgotten, so delete it now.
    CleanupStreamedFile();
    if (!IsUrl(path))
        return path;

    LRESULT service = SendMessageA(in_module.main_window, kDownloadServiceQuery, 0, kDownloadServiceParam);
    if (service == 0 || service == 1)
        return nullptr;
    DownloadFn download = (DownloadFn)service;

    if (!(prompt_to_save && AskWhereToSave(path)) && !CreateTemporaryTarget())
        return nullptr;

    if (download(in_module.main_window, path, download_target, kStatusText) != 0) {
        // A temporary file nobody else knows of is removed; a file the user named is theirs.
        if (download_is_temporary)
            DeleteFileA(download_target);
        ForgetTarget();
        return nullptr;
    }
    return download_target;
}

void CleanupStreamedFile(void)
{
    if (download_is_temporary && download_target[0] != '\0')
        DeleteFileA(download_target);
    ForgetTarget();
}
