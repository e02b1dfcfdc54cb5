# Generates the built-in zone tables at build time from the pinned tzdata
# package of the build's Python (never from the host's zone files).
set(KELVANE_ZONES_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
set(KELVANE_ZONES_GENERATOR ${CMAKE_CURRENT_SOURCE_DIR}/tools/gen_zones.py)

# Rerun CMake-time discovery of the package only once; the data itself is a
# dependency of the generation step below.
execute_process(
  COMMAND ${Python_EXECUTABLE} -c "import tzdata, os; print(os.path.dirname(tzdata.__file__))"
  OUTPUT_VARIABLE KELVANE_TZDATA_DIR OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE KELVANE_TZDATA_MISSING)
if(KELVANE_TZDATA_MISSING)
  message(FATAL_ERROR "The tzdata==2024.1 package is needed to build the zone tables: "
                      "install it for ${Python_EXECUTABLE}")
endif()

add_custom_command(
  OUTPUT ${KELVANE_ZONES_DIR}/zone_tables.cpp ${KELVANE_ZONES_DIR}/zone_tables.h
  COMMAND ${Python_EXECUTABLE} ${KELVANE_ZONES_GENERATOR} ${KELVANE_ZONES_DIR}
  DEPENDS ${KELVANE_ZONES_GENERATOR} ${KELVANE_TZDATA_DIR}/__init__.py ${KELVANE_TZDATA_DIR}/zones
  COMMENT "Generating zone tables from tzdata"
  VERBATIM)

set(KELVANE_GENERATED_SOURCES ${KELVANE_ZONES_DIR}/zone_tables.cpp ${KELVANE_ZONES_DIR}/zone_tables.h)
