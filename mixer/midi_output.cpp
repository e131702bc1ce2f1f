// Which MIDI output the sequencer's music reaches, from the device count and the mapper's
// settings in the registry.
#include "mixer/midi_output.h"

#include <mmsystem.h>

UINT SequencerOutput(void) { return midiOutGetNumDevs() == 1 ? 0 : MIDI_MAPPER; }

// The device a mapper setting names: by its name, else in the form "#n"; the first device when
// it names none.
static UINT NamedDevice(const WCHAR* name, UINT count)
{
    for (UINT device = 0; device < count; ++device) {
        MIDIOUTCAPSW caps;
        if (midiOutGetDevCapsW(device, &caps, sizeof(caps)) == MMSYSERR_NOERROR && lstrcmpW(caps.szPname, name) == 0)
            return device;
    }
    if (name[0] == L'#' && name[1] >= L'0' && name[1] <= L'9') {
        UINT device = 0;
        for (const WCHAR* digit = name + 1; *digit >= L'0' && *digit <= L'9' && device < count; ++digit)
            device = device * 10 + (*digit - L'0');
        if (device < count)
            return device;
    }
    return 0;
}

// A string value of the mapper's key, empty when absent or not a string.
static bool ReadName(HKEY key, const WCHAR* value, WCHAR* name, DWORD size)
{
    DWORD type = 0, bytes = size - sizeof(WCHAR);
    if (RegQueryValueExW(key, value, nullptr, &type, (BYTE*)name, &bytes) != ERROR_SUCCESS || type != REG_SZ)
        return false;
    name[bytes / sizeof(WCHAR)] = 0;
    return true;
}

UINT SequencerDevice(void)
{
    UINT count = midiOutGetNumDevs();
    if (count == 0)
        return MIDI_MAPPER;
    if (count == 1)
        return 0;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Multimedia\\MIDIMap", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    WCHAR name[256]; // as Wine's mapper reads them
    UINT device = 0;
    DWORD scheme = 0, type = 0, bytes = sizeof(scheme);
    if (ReadName(key, L"szPname", name, sizeof(name)))
        device = NamedDevice(name, count);
    else if (RegQueryValueExW(key, L"UseScheme", nullptr, &type, (BYTE*)&scheme, &bytes) == ERROR_SUCCESS &&
             type == REG_DWORD && scheme != 0 && ReadName(key, L"CurrentScheme", name, sizeof(name)))
        device = MIDI_MAPPER;
    else if (ReadName(key, L"CurrentInstrument", name, sizeof(name)) && name[0] != 0)
        device = NamedDevice(name, count);
    RegCloseKey(key);
    return device;
}
