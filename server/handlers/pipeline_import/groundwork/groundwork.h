// Shared between the module body and the method of velmora.server.handlers.pipeline_import.groundwork.
#pragma once

#include <Python.h>

#define GROUNDWORK_MODULE_NAME "velmora.server.handlers.pipeline_import.groundwork"
#define GROUNDWORK_SOURCE_PATH "velmora/server/handlers/pipeline_import/groundwork.py"

// The method definition of BasePipelineImportHandler._finish_with_result.
extern PyMethodDef g_finish_with_result_def;
