// Soundcard capture. Not built yet: no device is ever opened.
#include "capture/capture.h"

int capture_active = 0;

int StartCapture(void)
{
    return 1;
}

void StopCapture(void) {}
void PauseCaptureDevice(void) {}
void ResumeCaptureDevice(void) {}
