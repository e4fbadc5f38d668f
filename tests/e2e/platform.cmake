# The services end-to-end test: a module that writes, reads, lists, moves
# and deletes real files through the table the real host hands it, and
# records what every slot returned.
engine_add_module(services_user SOURCES modules/services_user.cpp)
add_custom_target(e2e_platform_modules ALL DEPENDS engine services_user)
engine_add_e2e_test(e2e_platform test_platform.py)

# A module that attacks the host through the services, each attack checked
# against the system's own view; with the recorder, the host's edges (a
# closed standard error, a FIFO at the module path).
engine_add_module(hostile SOURCES modules/hostile.cpp)
# It builds its paths of 4 GiB with the tests' own helper.
target_include_directories(hostile PRIVATE ${PROJECT_SOURCE_DIR})
add_custom_target(e2e_hostile_modules ALL DEPENDS engine hostile recorder_v1 recorder_v2)
engine_add_e2e_test(e2e_hostile test_hostile.py)
