// Placeholder until the reader lands.
#include "data.h"
