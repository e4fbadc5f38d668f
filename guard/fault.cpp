#include "guard/fault.h"

const char* fault_name(fault_kind kind) {
    switch (kind) {
    case FAULT_ACCESS_VIOLATION: return "access violation";
    case FAULT_ILLEGAL_INSTRUCTION: return "illegal instruction";
    case FAULT_PRIVILEGED_INSTRUCTION: return "privileged instruction";
    case FAULT_INTEGER_DIVIDE: return "integer division by zero";
    case FAULT_INTEGER_OVERFLOW: return "integer overflow";
    case FAULT_FLOAT_DIVIDE: return "float division by zero";
    case FAULT_FLOAT_INVALID: return "float invalid operation";
    case FAULT_FLOAT_OVERFLOW: return "float overflow";
    case FAULT_FLOAT_UNDERFLOW: return "float underflow";
    case FAULT_FLOAT_DENORMAL: return "float denormal operand";
    case FAULT_FLOAT_INEXACT: return "float inexact result";
    case FAULT_FLOAT_STACK: return "float stack check";
    case FAULT_FLOAT_MULTIPLE_FAULTS: return "float multiple faults";
    case FAULT_FLOAT_MULTIPLE_TRAPS: return "float multiple traps";
    case FAULT_BREAKPOINT: return "breakpoint";
    case FAULT_STACK_OVERFLOW: return "stack overflow";
    case FAULT_MISALIGNMENT: return "datatype misalignment";
    case FAULT_BOUNDS: return "array bounds exceeded";
    case FAULT_IN_PAGE: return "in-page error";
    case FAULT_BUS_ERROR: return "bus error";
    case FAULT_BROKEN_INVARIANT: return "broken invariant";
    case FAULT_ABORT: return "abort";
    case FAULT_EXIT: return "exit";
    default: return "exception";
    }
}

const char* exit_call_name(u32 call) {
    switch (call) {
    case EXIT_CALL__EXIT: return "_exit";
    case EXIT_CALL__EXIT_UPPER: return "_Exit";
    case EXIT_CALL_QUICK_EXIT: return "quick_exit";
    default: return "exit";
    }
}

void fault_set_exit(module_fault* fault, u32 call, i32 status, u64 address) {
    fault->kind = FAULT_EXIT;
    fault->code = (u32)status;
    fault->exit_call = call;
    fault->address = address;
    fault->access = 0;
    fault->target = 0;
    fault->caller = 0;
}

typedef struct entry_arguments {
    module_entry* entry;
    i32* running;
    back_buffer* buffer_copy;
    input_state* input;
    f32 frame_seconds;
    platform_api* services;
    void** module_slot;
} entry_arguments;

static void call_entry(void* argument) {
    entry_arguments* call = (entry_arguments*)argument;
    call->entry(0, 0, call->running, call->buffer_copy, call->input, call->frame_seconds,
                call->services, call->module_slot);
}

bool32 guarded_entry_call(module_fault* fault, module_entry* entry, i32* running,
                          back_buffer* buffer_copy, input_state* input, f32 frame_seconds,
                          platform_api* services, void** module_slot) {
    entry_arguments call = {entry, running, buffer_copy, input, frame_seconds, services,
                            module_slot};
    return guarded_module_call(fault, call_entry, &call);
}
