# The controllers' end-to-end test: a module that records the four places
# every frame and, on the Linux host, drives SDL's virtual controllers
# through the host's own SDL, so their events take the real path.
engine_add_module(gamepad_recorder SOURCES modules/gamepad_recorder.cpp)
if(NOT WIN32)
    target_compile_definitions(gamepad_recorder PRIVATE GAMEPAD_DRIVER)
    target_link_libraries(gamepad_recorder PRIVATE SDL2::SDL2)
endif()
add_custom_target(e2e_gamepad_modules ALL DEPENDS engine gamepad_recorder)
engine_add_e2e_test(e2e_gamepad test_gamepad.py)
