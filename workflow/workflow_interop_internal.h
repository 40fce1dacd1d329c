// Shared pieces of the engine's script classes: the reader of one call's arguments and the writer
// of its answer.
#pragma once
#include <cstdint>

#include "core/formats/interop_request.h"
#include "core/runtime/dictionary.h"
#include "workflow/workflow_interop.h"


// One method call: arguments are read in order and, after the first one that is missing or
// mistyped, no more are read (Ok stays false). The answer writers put "returnValue" into the
// response and give the invoke's result.
struct WorkflowInteropCall {
    Dictionary* Request;
    Dictionary* Response;
    const char* ClassName;
    const char* Method;
    bool Ok = true;

    const char* String(const char* name) {
        const char* value = nullptr;
        if (Ok && !(ApiGen_GetStringPtr(Request, ClassName, Method, name, &value) && value)) Ok = false;
        return Ok ? value : "";
    }
    uint32_t Boolean(const char* name) {
        uint32_t value = 0;
        if (Ok && !ApiGen_GetBoolean(Request, ClassName, Method, name, &value)) Ok = false;
        return Ok && value ? 1 : 0;
    }
    int32_t Int32(const char* name) {
        int32_t value = 0;
        if (Ok && !ApiGen_GetInt32(Request, ClassName, Method, name, &value)) Ok = false;
        return Ok ? value : 0;
    }
    double Number(const char* name) {
        double value = 0;
        if (Ok && !ApiGen_GetFloat64(Request, ClassName, Method, name, &value)) Ok = false;
        return Ok ? value : 0;
    }

    int64_t ReturnBoolean(int64_t result) {
        Dictionary_AddBoolean(Response, "returnValue", Ok && result ? 1 : 0, nullptr);
        return Ok ? 1 : 0;
    }
    int64_t ReturnInt32(int64_t value) {
        Dictionary_AddInt32(Response, "returnValue", Ok ? (int32_t)value : 0, nullptr);
        return Ok ? 1 : 0;
    }
    int64_t ReturnNumber(double value) {
        Dictionary_AddFloat64(Response, "returnValue", Ok ? value : 0, nullptr);
        return Ok ? 1 : 0;
    }
    int64_t ReturnString(const char* text) {
        Dictionary_AddString(Response, "returnValue", Ok && text ? text : "", nullptr);
        return Ok ? 1 : 0;
    }
};
