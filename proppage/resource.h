/*
 * Resource identifiers of zendraprops, shared by the page's code and its
 * resource script.
 */
#ifndef ZENDRAPROPS_RESOURCE_H
#define ZENDRAPROPS_RESOURCE_H

/* The "Advanced" page's dialog template. */
#define IDD_ADVANCED 101
/* The picture its first static control names. The library ships no such
 * bitmap, so the control stays empty. */
#define IDB_SCANNER 105
/* The drop-down list of port names. */
#define IDC_PORT_LIST 1003
#define IDC_STATIC (-1)

#endif /* ZENDRAPROPS_RESOURCE_H */
