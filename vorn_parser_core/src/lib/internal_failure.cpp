// Raising internal failures.
#include "internal_failure.h"

namespace vorn {

void fail(std::string message, SourceLoc where) { throw InternalFailure(std::move(message), where); }

}  // namespace vorn
