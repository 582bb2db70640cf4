/*
 * The one translation unit that defines the GUIDs the driver uses.
 */
#include "portab.h"
#include <initguid.h>
#include "public.h"
