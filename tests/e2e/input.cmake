# The input end-to-end test: a module that records the input record every
# frame, driven by keys, moves, clicks and the wheel sent through the X server.
engine_add_module(input_recorder SOURCES modules/input_recorder.cpp)
add_custom_target(e2e_input_modules ALL DEPENDS engine input_recorder)
engine_add_e2e_test(e2e_input test_input.py)
