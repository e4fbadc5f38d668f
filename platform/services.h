// The host's side of the services: filling the table, and (through the
// headers included here) every service by name for start-up and tests.
#ifndef PLATFORM_SERVICES_H
#define PLATFORM_SERVICES_H

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/memory.h"
#include "engine/platform_api.h"
#include "platform/system.h"

// Stores the 30 service entry points in table order and returns services.
// Allocates nothing; filling twice stores the same pointers.
platform_api* fill_platform_api(platform_api* services);

#endif
