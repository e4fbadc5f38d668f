# Loop editing: a module that logs what it is given and what its memory
# holds, in two builds that paint differently from a known frame on.
engine_add_module(looper_v1 SOURCES modules/looper.cpp DEFINES LOOPER_VERSION=1)
engine_add_module(looper_v2 SOURCES modules/looper.cpp DEFINES LOOPER_VERSION=2)
add_custom_target(e2e_loop_modules ALL DEPENDS engine looper_v1 looper_v2)
engine_add_e2e_test(e2e_loop test_loop.py)
