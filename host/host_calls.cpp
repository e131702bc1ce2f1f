// Calls of the host's services. Each word is read once per call, so that the one tested
// for zero is the one called.
#include "host/host_calls.h"

void HostAnnouncePlaying(void)
{
    AnnounceFormatFn announce_format = in_module.announce_format;
    if (announce_format != nullptr)
        announce_format(0, 44, 2, 1);
    VisOpenFn vis_open = in_module.vis_open;
    if (vis_open != nullptr)
        vis_open(0, 44100);
}

void HostVisClose(void)
{
    VisCloseFn vis_close = in_module.vis_close;
    if (vis_close != nullptr)
        vis_close();
}

void HostPcmSinks(const void* samples)
{
    PcmSinkFn sink_a = in_module.pcm_sink_a;
    if (sink_a != nullptr)
        sink_a(samples, 2, 16, 0);
    PcmSinkFn sink_b = in_module.pcm_sink_b;
    if (sink_b != nullptr)
        sink_b(samples, 2, 16, 0);
}
