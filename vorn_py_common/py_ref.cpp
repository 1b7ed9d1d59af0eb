// The failure of an interpreter call that should not fail.
#include "py_ref.h"

#include "internal_failure.h"

namespace vorn::py {

void api_call_failed(SourceLoc where)
{
    PyErr_Print();
    throw InternalFailure("Python API call failed", where);
}

}  // namespace vorn::py
