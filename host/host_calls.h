// The host words of the record as the plug-in uses them: the window and instance the host
// wrote, and its services, each skipped while the host has left its word zero.
#pragma once

#include <windows.h>

#include "host/in_module.h"

// The record, defined with the export in module/; its host words are read through these.
extern InModule& in_module;

// announce_format(0, 44, 2, 1) and vis_open(0, 44100), once a file plays.
void HostAnnouncePlaying(void);
// vis_close(), once playing has stopped.
void HostVisClose(void);
// pcm_sink_a and then pcm_sink_b with one block of 2304 bytes (576 frames of 16-bit
// stereo); on the capture thread.
void HostPcmSinks(const void* samples);
