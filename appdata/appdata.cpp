// Stand-in for the settings-folder library "appdata.dll": reports the machine-wide
// application-data folder as the system knows it (CSIDL_COMMON_APPDATA).
#include <windows.h>
#include <shlobj.h>

// Fills buffer with the folder, without a trailing backslash, and returns its length;
// returns -1 with the buffer left empty when there is no such folder or it does not fit.
// A cut path would name some other folder, so it is never handed out.
extern "C" __declspec(dllexport) int __cdecl GetCommonAppDataPathA(char* buffer, int size)
{
    if (buffer == nullptr || size <= 0)
        return -1;
    buffer[0] = '\0';
    char folder[MAX_PATH];
    if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK)
        return -1;
    int length = lstrlenA(folder);
    if (length > 0 && folder[length - 1] == '\\')
        folder[--length] = '\0';
    if (length == 0 || length >= size)
        return -1;
    CopyMemory(buffer, folder, length + 1);
    return length;
}
