# What zendra.sys may import, shared by the host build's pe_zendra_sys_* tests
# and the cross build's own check: the kernel, the HAL and the USB driver
# library. Anything else (a C runtime, libstdc++, libgcc) means the build went
# wrong.
set(ZENDRA_SYS_PECHECK_ARGS
  --allow-import ntoskrnl.exe
  --allow-import HAL.dll
  --allow-import USBD.SYS
)
