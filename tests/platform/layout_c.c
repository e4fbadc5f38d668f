/* The services header compiled as C, as a C module includes it: its layout
 * pins hold for C as well as for C++. */
#include "engine/platform_api.h"
