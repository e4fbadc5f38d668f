# Undoing a faulting frame: a build that writes to its blocks and its slot,
# frees a block and then faults in one frame, and the build that replaces it.
engine_add_module(undoer_faulty SOURCES modules/undoer.cpp DEFINES UNDOER_FAULTS=1)
engine_add_module(undoer_fixed SOURCES modules/undoer.cpp DEFINES UNDOER_FAULTS=0)
add_custom_target(e2e_undo_modules ALL DEPENDS engine undoer_faulty undoer_fixed)
engine_add_e2e_test(e2e_undo test_undo.py)
