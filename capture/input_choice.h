// Which wave input the capture records.
#pragma once

#include <windows.h>

// The wave-input device ID to open first: WAVE_MAPPER on Windows; under Wine the input the
// settings name, else the monitor of the output the music plays on, else WAVE_MAPPER.
UINT ChooseCaptureInput(void);
