// Shared between the module body and the method of
// velmora.server.handlers.pipeline_import.groundwork.
#pragma once

#include <Python.h>

// The method definition of BasePipelineImportHandler._finish_with_result.
extern PyMethodDef g_finish_with_result_def;
