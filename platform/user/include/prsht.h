/*
 * Property sheets of the emulated common controls (comctl32): the pages a
 * program creates for a sheet, the notifications a page receives and the
 * messages it sends its sheet. 64-bit layouts.
 */
#ifndef ZENDRA_WIN32_PRSHT_H
#define ZENDRA_WIN32_PRSHT_H

#include "windef.h"
#include "winuser.h"

#ifdef __cplusplus
extern "C" {
#endif

#define WINCOMMCTRLAPI

#ifndef CCSIZEOF_STRUCT
#define CCSIZEOF_STRUCT(structname, member) (offsetof(structname, member) + sizeof(((structname *)0)->member))
#endif

#define MAXPROPPAGES 100

struct _PSP;
typedef struct _PSP *HPROPSHEETPAGE;
struct _PROPSHEETPAGEA;
typedef UINT(CALLBACK *LPFNPSPCALLBACKA)(HWND hwnd, UINT uMsg, struct _PROPSHEETPAGEA *ppsp);
typedef BOOL(CALLBACK *LPFNADDPROPSHEETPAGE)(HPROPSHEETPAGE, LPARAM);
typedef const DLGTEMPLATE *PROPSHEETPAGE_RESOURCE;

/* PROPSHEETPAGEA grew four times; dwSize says which version the caller
 * filled in (the members up to and including the last of its version). */
#define ZENDRA_PROPSHEETPAGEA_V1_FIELDS \
  DWORD dwSize;                         \
  DWORD dwFlags;                        \
  HINSTANCE hInstance;                  \
  union {                               \
    LPCSTR pszTemplate;                 \
    PROPSHEETPAGE_RESOURCE pResource;   \
  };                                    \
  union {                               \
    HICON hIcon;                        \
    LPCSTR pszIcon;                     \
  };                                    \
  LPCSTR pszTitle;                      \
  DLGPROC pfnDlgProc;                   \
  LPARAM lParam;                        \
  LPFNPSPCALLBACKA pfnCallback;         \
  UINT *pcRefParent;

typedef struct _PROPSHEETPAGEA_V1 {
  ZENDRA_PROPSHEETPAGEA_V1_FIELDS
} PROPSHEETPAGEA_V1, *LPPROPSHEETPAGEA_V1;
typedef struct _PROPSHEETPAGEA_V2 {
  ZENDRA_PROPSHEETPAGEA_V1_FIELDS
  LPCSTR pszHeaderTitle;
  LPCSTR pszHeaderSubTitle;
} PROPSHEETPAGEA_V2, *LPPROPSHEETPAGEA_V2;
typedef struct _PROPSHEETPAGEA_V3 {
  ZENDRA_PROPSHEETPAGEA_V1_FIELDS
  LPCSTR pszHeaderTitle;
  LPCSTR pszHeaderSubTitle;
  HANDLE hActCtx;
} PROPSHEETPAGEA_V3, *LPPROPSHEETPAGEA_V3;
typedef struct _PROPSHEETPAGEA {
  ZENDRA_PROPSHEETPAGEA_V1_FIELDS
  LPCSTR pszHeaderTitle;
  LPCSTR pszHeaderSubTitle;
  HANDLE hActCtx;
  union {
    HBITMAP hbmHeader;
    LPCSTR pszbmHeader;
  };
} PROPSHEETPAGEA, *LPPROPSHEETPAGEA, PROPSHEETPAGEA_V4, *LPPROPSHEETPAGEA_V4;
typedef const PROPSHEETPAGEA *LPCPROPSHEETPAGEA;
typedef PROPSHEETPAGEA PROPSHEETPAGE;

#define PROPSHEETPAGEA_V1_SIZE CCSIZEOF_STRUCT(PROPSHEETPAGEA, pcRefParent)
#define PROPSHEETPAGEA_V2_SIZE CCSIZEOF_STRUCT(PROPSHEETPAGEA, pszHeaderSubTitle)
#define PROPSHEETPAGEA_V3_SIZE CCSIZEOF_STRUCT(PROPSHEETPAGEA, hActCtx)
#define PROPSHEETPAGEA_V4_SIZE sizeof(PROPSHEETPAGEA)

/* PROPSHEETPAGEA.dwFlags. */
#define PSP_DEFAULT 0x00000000
#define PSP_DLGINDIRECT 0x00000001
#define PSP_USEHICON 0x00000002
#define PSP_USEICONID 0x00000004
#define PSP_USETITLE 0x00000008
#define PSP_RTLREADING 0x00000010
#define PSP_HASHELP 0x00000020
#define PSP_USEREFPARENT 0x00000040
#define PSP_USECALLBACK 0x00000080
#define PSP_PREMATURE 0x00000400
#define PSP_HIDEHEADER 0x00000800
#define PSP_USEHEADERTITLE 0x00001000
#define PSP_USEHEADERSUBTITLE 0x00002000
#define PSP_USEFUSIONCONTEXT 0x00004000

/* Why a page's callback is called. */
#define PSPCB_ADDREF 0
#define PSPCB_RELEASE 1
#define PSPCB_CREATE 2

/* Notifications a page receives (WM_NOTIFY, NMHDR.code). */
#define PSN_FIRST (0U - 200U)
#define PSN_LAST (0U - 299U)
#define PSN_SETACTIVE (PSN_FIRST - 0)
#define PSN_KILLACTIVE (PSN_FIRST - 1)
#define PSN_APPLY (PSN_FIRST - 2)
#define PSN_RESET (PSN_FIRST - 3)
#define PSN_HELP (PSN_FIRST - 5)
#define PSN_QUERYCANCEL (PSN_FIRST - 9)

typedef struct _PSHNOTIFY {
  NMHDR hdr;
  LPARAM lParam;
} PSHNOTIFY, *LPPSHNOTIFY;

/* What a page answers PSN_APPLY with, in DWLP_MSGRESULT. */
#define PSNRET_NOERROR 0
#define PSNRET_INVALID 1
#define PSNRET_INVALID_NOCHANGEPAGE 2

/* Messages a page sends its sheet. */
#define PSM_SETCURSEL (WM_USER + 101)
#define PSM_CHANGED (WM_USER + 104)
#define PSM_UNCHANGED (WM_USER + 109)
#define PropSheet_Changed(hDlg, hwnd) SendMessageA((hDlg), PSM_CHANGED, (WPARAM)(hwnd), 0)
#define PropSheet_UnChanged(hDlg, hwnd) SendMessageA((hDlg), PSM_UNCHANGED, (WPARAM)(hwnd), 0)

WINCOMMCTRLAPI HPROPSHEETPAGE WINAPI CreatePropertySheetPageA(LPCPROPSHEETPAGEA constPropSheetPagePointer);
WINCOMMCTRLAPI BOOL WINAPI DestroyPropertySheetPage(HPROPSHEETPAGE);

#ifdef __cplusplus
}
#endif

#endif /* ZENDRA_WIN32_PRSHT_H */
