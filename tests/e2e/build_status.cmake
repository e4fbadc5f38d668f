# The build watcher's status file in the title, with the recording module's
# builds and the one without entry (e2e_host_modules builds them).
engine_add_e2e_test(e2e_build_status test_build_status.py)
