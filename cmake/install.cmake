# The module SDK that `cmake --install` lays out under its prefix:
#   include/engine/...          the contract and the base library's headers
#   lib/ or lib/windows/        libengine_base.a, libengine_input_record.a
#   bin/engine or engine.exe    the host, when this tree built it
#   bin/engine-watch            the watcher that rebuilds a module on every save
#   lib/cmake/Engine/           the CMake package (find_package(Engine))
#   lib/pkgconfig/              engine-module.pc (native builds)
# The Linux and the Windows trees install into the same prefix side by side.
if(WIN32)
    set(ENGINE_INSTALL_LIBDIR lib/windows)
else()
    set(ENGINE_INSTALL_LIBDIR lib)
endif()
set_target_properties(base PROPERTIES OUTPUT_NAME engine_base)
set_target_properties(input_record PROPERTIES OUTPUT_NAME engine_input_record)

install(DIRECTORY ${ENGINE_INCLUDE_DIR}/engine DESTINATION include)
install(TARGETS base input_record ARCHIVE DESTINATION ${ENGINE_INSTALL_LIBDIR})
if(TARGET engine)
    install(TARGETS engine RUNTIME DESTINATION bin)
endif()
install(PROGRAMS ${ENGINE_ROOT}/scripts/watch.py DESTINATION bin RENAME engine-watch)
configure_file(${CMAKE_CURRENT_LIST_DIR}/EngineConfig.cmake.in
               ${CMAKE_BINARY_DIR}/package/EngineConfig.cmake @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/EngineConfig.cmake
              ${CMAKE_CURRENT_LIST_DIR}/module_functions.cmake
              ${CMAKE_CURRENT_LIST_DIR}/module_layout.ld
              ${CMAKE_CURRENT_LIST_DIR}/stage.cmake
              ${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake
        DESTINATION lib/cmake/Engine)
if(NOT WIN32)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/engine-module.pc.in
                   ${CMAKE_BINARY_DIR}/package/engine-module.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/package/engine-module.pc DESTINATION lib/pkgconfig)
endif()
