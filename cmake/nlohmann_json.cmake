# Sets NLOHMANN_JSON_INCLUDE to the headers of the nlohmann-json package from
# PyPI, installed for Python_EXECUTABLE. The path is found without importing
# the package (its import pulls in more packages).
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
    "import importlib.util, os; s = importlib.util.find_spec('nlohmann_json'); print(os.path.join(s.submodule_search_locations[0], 'include'))"
  OUTPUT_VARIABLE NLOHMANN_JSON_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE nlohmann_found)
if(NOT nlohmann_found EQUAL 0 OR NOT EXISTS "${NLOHMANN_JSON_INCLUDE}/nlohmann/json.hpp")
  message(FATAL_ERROR "nlohmann-json is not installed for ${Python_EXECUTABLE} (pip install nlohmann-json)")
endif()
