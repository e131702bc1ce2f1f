// The plug-in's export, for the library itself; hosts take the record from host/in_module.h.
#pragma once

#include "host/in_module.h"

extern "C" __declspec(dllexport) InModule* __cdecl kestroGetInModule2(void);
