#define ZORBIC_NUMPY_API_OWNER
#include "numpy_api.hpp"

bool import_numpy_api() {
    if (PY_ARRAY_UNIQUE_SYMBOL != nullptr) return true;
    return _import_array() >= 0;
}
