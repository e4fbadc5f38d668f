# The services end-to-end test: a module that writes, reads, lists, moves
# and deletes real files through the table the real host hands it, and
# records what every slot returned.
engine_add_module(services_user SOURCES modules/services_user.cpp)
add_custom_target(e2e_platform_modules ALL DEPENDS engine services_user)
engine_add_e2e_test(e2e_platform test_platform.py)
