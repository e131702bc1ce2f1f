#include "validate/groups.h"
namespace validate {
void GroupFaultCapture() {}
void GroupFaultMixer() {}
void GroupFaultSettings() {}
void GroupFaultDownload() {}
void GroupFaultSink() {}
void GroupFaultSequencer() {}
}
