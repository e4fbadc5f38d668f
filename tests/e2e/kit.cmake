# The module author's kit: the template built as a project of its own, run
# under the real host, and the watch loop.
engine_add_e2e_test(e2e_kit test_kit.py)
engine_add_e2e_test(e2e_demo test_demo.py)
engine_add_e2e_test(e2e_edit_loop test_edit_loop.py)
add_custom_target(e2e_kit_modules ALL DEPENDS engine demo)
