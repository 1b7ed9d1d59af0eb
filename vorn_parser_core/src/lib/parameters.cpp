// Placeholder until the reader lands.
#include "parameters.h"
