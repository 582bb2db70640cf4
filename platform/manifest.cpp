#include "manifest.h"

namespace emu {

// Keep in alphabetical order within each group.
const std::vector<ManifestEntry>& Manifest::Entries() {
  static const std::vector<ManifestEntry> entries = {
      // Executive: pool, work items, interlocked
      {"ExAllocatePool", true},
      {"ExAllocatePoolWithTag", true},
      {"ExFreePool", true},
      {"ExFreePoolWithTag", true},
      {"ExQueueWorkItem", true},
      {"InterlockedCompareExchange", true},
      {"InterlockedCompareExchangePointer", true},
      {"InterlockedDecrement", true},
      {"InterlockedExchange", true},
      {"InterlockedExchangeAdd", true},
      {"InterlockedExchangePointer", true},
      {"InterlockedIncrement", true},
      // Kernel: IRQL, spin locks, dispatcher objects, DPCs
      {"KeAcquireSpinLock", true},
      {"KeAcquireSpinLockAtDpcLevel", true},
      {"KeCancelTimer", true},
      {"KeClearEvent", true},
      {"KeDelayExecutionThread", true},
      {"KeGetCurrentIrql", true},
      {"KeGetCurrentProcessorNumber", true},
      {"KeInitializeDpc", true},
      {"KeInitializeEvent", true},
      {"KeInitializeSpinLock", true},
      {"KeInitializeTimer", true},
      {"KeInitializeTimerEx", true},
      {"KeInsertQueueDpc", true},
      {"KeLowerIrql", true},
      {"KeQueryInterruptTime", true},
      {"KeQuerySystemTime", true},
      {"KeRaiseIrql", true},
      {"KeRaiseIrqlToDpcLevel", true},
      {"KeReadStateEvent", true},
      {"KeReadStateTimer", true},
      {"KeReleaseSpinLock", true},
      {"KeReleaseSpinLockFromDpcLevel", true},
      {"KeRemoveQueueDpc", true},
      {"KeResetEvent", true},
      {"KeSetEvent", true},
      {"KeSetTimer", true},
      {"KeSetTimerEx", true},
      {"KeWaitForMultipleObjects", true},
      {"KeWaitForSingleObject", true},
      // I/O manager
      {"IoAcquireCancelSpinLock", true},
      {"IoAllocateIrp", true},
      {"IoAttachDeviceToDeviceStack", true},
      {"IoBuildDeviceIoControlRequest", true},
      {"IoCancelIrp", true},
      {"IoCopyCurrentIrpStackLocationToNext", true},
      {"IoCreateDevice", true},
      {"IoCreateSymbolicLink", true},
      {"IoDeleteDevice", true},
      {"IoDeleteSymbolicLink", true},
      {"IoDetachDevice", true},
      {"IoFreeIrp", true},
      {"IoGetCurrentIrpStackLocation", true},
      {"IoGetNextIrpStackLocation", true},
      {"IoInitializeIrp", true},
      {"IoInitializeTimer", true},
      {"IoIsWdmVersionAvailable", true},
      {"IoMarkIrpPending", true},
      {"IoOpenDeviceRegistryKey", true},
      {"IoRegisterDeviceInterface", true},
      {"IoReleaseCancelSpinLock", true},
      {"IoReuseIrp", true},
      {"IoSetCancelRoutine", true},
      {"IoSetCompletionRoutine", true},
      {"IoSetDeviceInterfaceState", true},
      {"IoSetNextIrpStackLocation", true},
      {"IoSkipCurrentIrpStackLocation", true},
      {"IoStartTimer", true},
      {"IoStopTimer", true},
      {"IofCallDriver", true},
      {"IofCompleteRequest", true},
      // Power manager
      {"PoCallDriver", true},
      {"PoRequestPowerIrp", false},
      {"PoSetPowerState", true},
      {"PoStartNextPowerIrp", true},
      // Run-time library and registry
      {"RtlAppendUnicodeStringToString", true},
      {"RtlAppendUnicodeToString", true},
      {"RtlCompareUnicodeString", true},
      {"RtlCopyUnicodeString", true},
      {"RtlDeleteRegistryValue", true},
      {"RtlEqualUnicodeString", true},
      {"RtlFreeUnicodeString", true},
      {"RtlInitUnicodeString", true},
      {"RtlIntegerToUnicodeString", true},
      {"RtlWriteRegistryValue", true},
      {"ZwClose", true},
      {"ZwDeleteValueKey", true},
      {"ZwQueryValueKey", true},
      {"ZwSetValueKey", true},
      // USB bus driver interface
      {"USBD_CreateConfigurationRequestEx", true},
      {"USBD_ParseConfigurationDescriptorEx", true},
      // C run-time routines the kernel exports
      {"memcpy", true},
      {"memmove", true},
      {"memset", true},
  };
  return entries;
}

const ManifestEntry* Manifest::Find(std::string_view name) {
  for (const auto& entry : Entries()) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

}  // namespace emu
