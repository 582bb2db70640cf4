/*
 * Included before a header that uses DEFINE_GUID, it makes that header
 * define the GUIDs instead of declaring them (one translation unit does).
 */
#ifndef INITGUID
#define INITGUID
#endif
#include "guiddef.h"
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  ZENDRA_GUID_EXTERN const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
