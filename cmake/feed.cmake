# The feed reader: its Python-free library (src/feed, beside the parser) and
# the extension kelvane_feed._native (src/feed_module). In a build tree the
# package's Python files are copied next to the extension, so that the build
# directory alone on PYTHONPATH imports both kelvane and kelvane_feed.
option(KELVANE_TSAN "Build the feed reader and its extension with ThreadSanitizer" OFF)

find_package(Threads REQUIRED)

file(GLOB KELVANE_FEED_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/feed/*.cpp)
add_library(kelvane_feed_core STATIC ${KELVANE_FEED_SOURCES})
target_link_libraries(kelvane_feed_core PUBLIC kelvane_core Threads::Threads)
target_include_directories(kelvane_feed_core SYSTEM PRIVATE ${KELVANE_RAPIDJSON_INCLUDE})
target_compile_options(kelvane_feed_core PRIVATE ${KELVANE_WARNINGS})

file(GLOB KELVANE_FEED_MODULE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/feed_module/*.cpp)
python_add_library(kelvane_feed_native MODULE WITH_SOABI ${KELVANE_FEED_MODULE_SOURCES})
target_link_libraries(kelvane_feed_native PRIVATE kelvane_feed_core)
target_compile_options(kelvane_feed_native PRIVATE ${KELVANE_WARNINGS})
set_target_properties(kelvane_feed_native PROPERTIES
  OUTPUT_NAME _native
  CXX_VISIBILITY_PRESET hidden
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/kelvane_feed)

if(KELVANE_TSAN)
  foreach(target kelvane_core kelvane_feed_core kelvane_feed_native)
    target_compile_options(${target} PRIVATE -fsanitize=thread -g -fno-omit-frame-pointer)
  endforeach()
  target_link_options(kelvane_feed_native PRIVATE -fsanitize=thread)
endif()

file(GLOB KELVANE_FEED_PYTHON CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/python/kelvane_feed/*)
add_custom_target(kelvane_feed_python ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/kelvane_feed
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${KELVANE_FEED_PYTHON} ${CMAKE_CURRENT_BINARY_DIR}/kelvane_feed
  VERBATIM)

install(TARGETS kelvane_feed_native LIBRARY DESTINATION kelvane_feed)
