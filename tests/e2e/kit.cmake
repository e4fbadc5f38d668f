# The module author's kit: the template built as a project of its own, run
# under the real host, and the watch loop.
engine_add_e2e_test(e2e_kit test_kit.py)
