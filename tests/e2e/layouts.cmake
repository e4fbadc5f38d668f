# Changed layouts: builds of a C program and a C++ program whose records
# change between builds (see modules/layouts): converted, refused when
# objects grow inside the program's own allocator, and a converted build
# that faults.
set(ENGINE_LAYOUTS_MODULES)
foreach(version 1 2 3)
    engine_add_module(layouts_v${version} SOURCES modules/layouts/nodes.c
                      DEFINES LAYOUTS_VERSION=${version})
    list(APPEND ENGINE_LAYOUTS_MODULES layouts_v${version})
endforeach()
foreach(version 1 2)
    engine_add_module(layouts_zone_v${version} SOURCES modules/layouts/nodes.c
                      DEFINES LAYOUTS_VERSION=${version} LAYOUTS_ZONE=1)
    engine_add_module(shapes_v${version} SOURCES modules/layouts/shapes.cpp
                      DEFINES SHAPES_VERSION=${version})
    engine_add_module(effects_v${version} SOURCES modules/layouts/effects.c
                      DEFINES EFFECTS_VERSION=${version})
    list(APPEND ENGINE_LAYOUTS_MODULES layouts_zone_v${version} shapes_v${version}
         effects_v${version})
endforeach()
foreach(version 1 2 3)
    engine_add_module(stock_v${version} SOURCES modules/layouts/stock.cpp
                      DEFINES STOCK_VERSION=${version})
    list(APPEND ENGINE_LAYOUTS_MODULES stock_v${version})
endforeach()
foreach(module ${ENGINE_LAYOUTS_MODULES})
    target_include_directories(${module} PRIVATE ${PROJECT_SOURCE_DIR})
endforeach()
add_custom_target(e2e_layouts_modules ALL DEPENDS engine ${ENGINE_LAYOUTS_MODULES})
engine_add_e2e_test(e2e_layouts test_layouts.py)
