// Temporary pieces: "tqs<process id in hex>-<n>.mid" in the temporary folder, created new (never
// over another file), written whole and closed before the sequencer opens it by name.
//
// Why a file and not the memory file Wine's sequencer is lent (playback/memory_file.h): Windows'
// MCI sequencer is documented to open its element with the DOS file I/O procedure whatever the
// name says, so a "NAME.EXT+" element is not found or faults it; Microsoft's advice is to copy
// the data to a temporary file and play that (Knowledge Base Q142894, "MCI Open of MIDI File
// with Installable I/O Proc Fails"). A plain file by name is what every sequencer opens.
//
// It is deleted at Stop, after the close (a sequencer may read its file until then); when the
// open fails; before a Play writes the next (a Play without Stop stops first); and when the
// module is unloaded. A device left open at an unload or the end of the process can keep its
// file open, so that it cannot be deleted then: the first piece of a later process deletes it.
#include "playback/temporary_piece.h"

static const char kPrefix[] = "tqs";
static const char kExtension[] = ".mid";

// Host thread only (and the module's unload): the piece's name while it exists.
static char piece_path[MAX_PATH];
static int swept = 0;

// Whether the process that wrote a piece is gone: only then is its piece deleted. A process
// that cannot be asked (another user's) is taken to be running.
static int ProcessIsGone(DWORD id)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    int gone = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return gone;
}

// The process id in a piece's name "tqs<hex>-<decimal>.mid", or 0 when it is no piece's name.
// By hand: the C library's formatting would triple the module's size.
static DWORD PieceOwner(const char* name)
{
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name, 3, kPrefix, 3) != CSTR_EQUAL)
        return 0;
    const char* at = name + 3;
    DWORD id = 0;
    int digits = 0;
    for (; digits < 8; ++at, ++digits) {
        char c = *at | 0x20;
        if (c >= '0' && c <= '9')
            id = id << 4 | (DWORD)(c - '0');
        else if (c >= 'a' && c <= 'f')
            id = id << 4 | (DWORD)(c - 'a' + 10);
        else
            break;
    }
    if (digits == 0 || *at++ != '-' || *at < '0' || *at > '9')
        return 0;
    while (*at >= '0' && *at <= '9')
        ++at;
    return lstrcmpiA(at, kExtension) == 0 ? id : 0;
}

// Deletes the pieces of processes that have ended (a piece still open fails to delete, and is
// left for another time).
static void SweepLeftPieces(const char* folder)
{
    char pattern[MAX_PATH];
    if (lstrlenA(folder) + 3 + 1 + 4 >= (int)sizeof(pattern))
        return;
    wsprintfA(pattern, "%s%s*%s", folder, kPrefix, kExtension);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        DWORD id = PieceOwner(found.cFileName);
        if (id == 0 || id == GetCurrentProcessId() || !ProcessIsGone(id))
            continue;
        char path[MAX_PATH];
        if (lstrlenA(folder) + lstrlenA(found.cFileName) < (int)sizeof(path)) {
            wsprintfA(path, "%s%s", folder, found.cFileName);
            DeleteFileA(path);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

const char* WriteTemporaryPiece(const BYTE* bytes, DWORD size)
{
    DeleteTemporaryPiece();
    char folder[MAX_PATH];
    DWORD length = GetTempPathA(sizeof(folder), folder);
    if (length == 0 || length >= sizeof(folder))
        return nullptr;
    if (!swept) {
        swept = 1;
        SweepLeftPieces(folder);
    }
    static unsigned next = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    // A name that exists (a piece of an earlier process with the same id) is skipped.
    for (int tries = 0; tries < 100 && file == INVALID_HANDLE_VALUE; ++tries) {
        // The folder (at most MAX_PATH - 1), then at most 3 + 8 + 1 + 10 + 4 characters.
        if (lstrlenA(folder) + 26 >= (int)sizeof(piece_path))
            break;
        wsprintfA(piece_path, "%s%s%lx-%u%s", folder, kPrefix, GetCurrentProcessId(), next++, kExtension);
        file = CreateFileA(piece_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        piece_path[0] = '\0';
        return nullptr;
    }
    DWORD written = 0;
    BOOL whole = WriteFile(file, bytes, size, &written, nullptr) && written == size;
    whole = CloseHandle(file) && whole;
    if (!whole) {
        DeleteTemporaryPiece();
        return nullptr;
    }
    return piece_path;
}

void DeleteTemporaryPiece(void)
{
    if (piece_path[0] == '\0')
        return;
    DeleteFileA(piece_path);
    piece_path[0] = '\0';
}
