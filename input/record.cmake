# The input record's name tables: the only input code a module links.
add_library(input_record STATIC ${ENGINE_ROOT}/input/names.cpp)
engine_sdk_options(input_record)
target_link_libraries(input_record PUBLIC base)
