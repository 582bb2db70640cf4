# What zendraprops.dll must be, shared by the host build's pe_zendraprops_*
# tests and the cross build's own check: a DLL whose entry point is DllMain,
# exporting DllMain and ZENDRAPropPageProvider undecorated, importing only
# from the system DLLs the page uses (sprintf from ntdll, no C runtime),
# holding the "Advanced" dialog as the template file describes it and a
# version record.
set(ZENDRAPROPS_PECHECK_ARGS
  --dll
  --export DllMain
  --export ZENDRAPropPageProvider
  --allow-import setupapi.dll
  --allow-import comctl32.dll
  --allow-import user32.dll
  --allow-import kernel32.dll
  --allow-import ntdll.dll
  --expect-dialog "${CMAKE_CURRENT_LIST_DIR}/zendraprops-dialog.txt"
  --expect-version
)
