// Soundcard capture for the host's visualisation, on a thread of its own.
#pragma once

// 1 while a capture device is open; host thread only. Play ends a running capture with
// StopCapture, never by clearing this.
extern int capture_active;

// Returns 0 when capture runs, 1 when the input device cannot be opened or no thread can
// be created for it (the device is then closed again).
int StartCapture(void);
// Ends the thread and closes the device; harmless when nothing runs.
void StopCapture(void);
// Pause and resume the recording with the clock; nothing happens when capture is off.
void PauseCaptureDevice(void);
void ResumeCaptureDevice(void);
