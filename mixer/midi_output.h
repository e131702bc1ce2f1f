// The MIDI output Wine's sequencer plays to, for what the plug-in sends it beside the sequencer:
// the sysex set-up (playback/sysex_output) and, where the mixer has no synthesizer line, the
// volume and balance (mixer/volume).
#pragma once

#include <windows.h>

// The output the sequencer opens: the only one, else the MIDI mapper.
UINT SequencerOutput(void);
// The device behind it: the only output, else the one the MIDI mapper sends every channel to,
// as its settings under HKCU\Software\Microsoft\Windows\CurrentVersion\Multimedia\MIDIMap
// choose it ("szPname", else "CurrentInstrument": a device's name or "#n", the first device
// when neither names one, as Wine's mapper reads them); MIDI_MAPPER itself where those settings
// spread the channels over several devices (a scheme) or there is no output.
UINT SequencerDevice(void);
