/* A build of layout_values.h with one of each record at a fixed address. */
#define LAYOUT_NAME(name) name
#include "layout_values.h"

struct record value;
