// Shared between the module body and the method of velmora.server.handlers.info.hostfacts.
#pragma once

#include <Python.h>

#define HOSTFACTS_MODULE_NAME "velmora.server.handlers.info.hostfacts"
#define HOSTFACTS_SOURCE_PATH "velmora/server/handlers/info/hostfacts.py"

// The method definition of ServerAppInfoHandler._get_info.
extern PyMethodDef g_get_info_def;
