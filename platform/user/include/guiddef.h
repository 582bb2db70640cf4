/*
 * GUIDs for user-mode code of the host build. The layout is the kernel's
 * (ntdef.h): a GUID crosses between the two sides unchanged.
 */
#ifndef ZENDRA_WIN32_GUIDDEF_H
#define ZENDRA_WIN32_GUIDDEF_H

#include <stdint.h>

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  unsigned char Data4[8];
} GUID, *LPGUID;
#endif
typedef const GUID *LPCGUID;
#ifdef __cplusplus
typedef const GUID &REFGUID;
#else
typedef const GUID *REFGUID;
#endif

#ifdef __cplusplus
#define ZENDRA_GUID_EXTERN extern "C"
#else
#define ZENDRA_GUID_EXTERN extern
#endif

/* Declares the GUID; a translation unit that includes initguid.h first
 * defines it instead. */
#undef DEFINE_GUID
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  ZENDRA_GUID_EXTERN const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) ZENDRA_GUID_EXTERN const GUID name
#endif

#endif /* ZENDRA_WIN32_GUIDDEF_H */
