# Sound: a module that makes a tone, in builds that change its pitch, fault
# in entry_sound and write samples no device should get.
foreach(version 0 1 2 3 4)
    engine_add_module(sounder_v${version} SOURCES modules/sounder.cpp
                      DEFINES SOUNDER_VERSION=${version})
endforeach()
add_custom_target(e2e_sound_modules ALL
    DEPENDS engine sounder_v0 sounder_v1 sounder_v2 sounder_v3 sounder_v4)
engine_add_e2e_test(e2e_sound test_sound.py)
