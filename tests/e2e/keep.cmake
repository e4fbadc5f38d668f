# Kept variables: builds of one module whose state lives in kept variables,
# one with a record grown by a field, one that faults after writing them.
set(keeper_sources modules/keeper.cpp modules/keeper_other.cpp)
engine_add_module(keeper_v1 SOURCES ${keeper_sources} DEFINES KEEPER_VERSION=1 KEEPER_FAULTS=0
                  KEEPER_PLAYER_WIDE=0)
engine_add_module(keeper_v2 SOURCES ${keeper_sources} DEFINES KEEPER_VERSION=2 KEEPER_FAULTS=0
                  KEEPER_PLAYER_WIDE=0)
engine_add_module(keeper_wide SOURCES ${keeper_sources} DEFINES KEEPER_VERSION=3
                  KEEPER_FAULTS=0 KEEPER_PLAYER_WIDE=1)
engine_add_module(keeper_faulty SOURCES ${keeper_sources} DEFINES KEEPER_VERSION=4
                  KEEPER_FAULTS=1 KEEPER_PLAYER_WIDE=1)
add_custom_target(e2e_keep_modules ALL DEPENDS engine keeper_v1 keeper_v2 keeper_wide
                  keeper_faulty)
engine_add_e2e_test(e2e_keep test_keep.py)
