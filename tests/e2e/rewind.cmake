# Rewind: builds of a module whose state is a digest of everything it
# did, logged as each frame finds it.
engine_add_module(rewinder_v1 SOURCES modules/rewinder.cpp DEFINES REWINDER_VERSION=1)
engine_add_module(rewinder_v2 SOURCES modules/rewinder.cpp DEFINES REWINDER_VERSION=2)
# And two whose build holds part of the state, a kept variable.
engine_add_module(rewinder_kept_v1 SOURCES modules/rewinder.cpp
                  DEFINES REWINDER_VERSION=1 REWINDER_KEEP=1)
engine_add_module(rewinder_kept_v2 SOURCES modules/rewinder.cpp
                  DEFINES REWINDER_VERSION=2 REWINDER_KEEP=1)
add_custom_target(e2e_rewind_modules ALL DEPENDS engine rewinder_v1 rewinder_v2
                  rewinder_kept_v1 rewinder_kept_v2)
engine_add_e2e_test(e2e_rewind test_rewind.py)
# The safety net's budget: thinning said and undone, and the history's cap.
engine_add_e2e_test(e2e_budget test_budget.py)
