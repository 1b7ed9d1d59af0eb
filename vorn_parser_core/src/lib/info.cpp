// Placeholder until the reader lands.
#include "info.h"
