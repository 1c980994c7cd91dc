// Shared between the module body and the method of velmora.server.handlers.info.hostfacts.
#pragma once

#include <Python.h>

// The method definition of ServerAppInfoHandler._get_info.
extern PyMethodDef g_get_info_def;
