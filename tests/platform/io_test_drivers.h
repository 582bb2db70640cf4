// Small drivers for the I/O manager tests: each Layer is one driver with
// one device, whose dispatch and completion behaviour a test sets with a
// lambda. Layers stack the way function and filter drivers do, so a test
// can build the three-driver stacks whose unwinding it checks.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel/scheduler.h"
#include "support/harness.h"
#include "wdm.h"

namespace zt::io {

class Layer {
 public:
  using Routine = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

  explicit Layer(std::string name) : name_(std::move(name)) {
    driver_.Type = 4;
    driver_.Size = sizeof(DRIVER_OBJECT);
    driver_.DriverExtension = &extension_;
    extension_.DriverObject = &driver_;
    for (auto& slot : driver_.MajorFunction) slot = &Layer::DispatchThunk;
  }
  Layer(const Layer&) = delete;
  Layer& operator=(const Layer&) = delete;

  // Creates the layer's device. The first pointer of the extension leads
  // back to the layer; `extra` bytes after it are the test's.
  NTSTATUS Create(ULONG extra = 0, PUNICODE_STRING name = nullptr) {
    NTSTATUS status = IoCreateDevice(&driver_, kHeader + extra, name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<Layer**>(device_->DeviceExtension) = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
  }
  void AttachTo(Layer& below) { AttachToDevice(below.device_); }
  // Attaches to a device of another driver (a bus's PDO).
  void AttachToDevice(PDEVICE_OBJECT below) {
    lower_ = IoAttachDeviceToDeviceStack(device_, below);
    ASSERT_NE(lower_, nullptr);
  }
  // Detaches and deletes the device unless the test already did.
  void Remove() {
    if (device_ == nullptr) return;
    if (lower_ != nullptr) IoDetachDevice(lower_);
    IoDeleteDevice(device_);
    device_ = nullptr;
    lower_ = nullptr;
  }
  // For a test that deletes the device itself.
  void Forget() {
    device_ = nullptr;
    lower_ = nullptr;
  }

  PDEVICE_OBJECT Device() const { return device_; }
  PDEVICE_OBJECT Lower() const { return lower_; }
  PDRIVER_OBJECT Driver() { return &driver_; }
  const std::string& Name() const { return name_; }
  void* Extra() const { return static_cast<char*>(device_->DeviceExtension) + kHeader; }

  // The layer's dispatch routine for every major function.
  Routine dispatch;
  // The layer's completion routine, set with SetCompletion.
  Routine completion;

  void SetCompletion(PIRP irp, bool onSuccess = true, bool onError = true, bool onCancel = true) {
    IoSetCompletionRoutine(irp, &Layer::CompletionThunk, this, onSuccess, onError, onCancel);
  }
  // The usual pass-down of a driver with nothing to do after completion.
  NTSTATUS SkipDown(PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower_, irp);
  }

  static Layer* Of(PDEVICE_OBJECT device) { return *static_cast<Layer**>(device->DeviceExtension); }
  static IO_COMPLETION_ROUTINE CompletionThunk;

 private:
  static constexpr ULONG kHeader = 16;
  static DRIVER_DISPATCH DispatchThunk;

  std::string name_;
  DRIVER_OBJECT driver_{};
  DRIVER_EXTENSION extension_{};
  PDEVICE_OBJECT device_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
};

inline NTSTATUS Layer::DispatchThunk(PDEVICE_OBJECT device, PIRP irp) {
  Layer* layer = Of(device);
  if (!layer->dispatch) {
    ADD_FAILURE() << "layer " << layer->name_ << " got an IRP it has no dispatch routine for";
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return layer->dispatch(device, irp);
}

inline NTSTATUS Layer::CompletionThunk(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  return static_cast<Layer*>(context)->completion(device, irp);
}

// The layers of one test, bottom first.
class Stack {
 public:
  // Adds a layer on top of the existing ones (attached to the current top).
  Layer& Push(const std::string& name, ULONG extra = 0) {
    layers_.push_back(std::make_unique<Layer>(name));
    Layer& layer = *layers_.back();
    EXPECT_EQ(layer.Create(extra), STATUS_SUCCESS);
    if (layers_.size() > 1) layer.AttachTo(*layers_[layers_.size() - 2]);
    return layer;
  }
  // A device of its own, not attached to the stack.
  Layer& Standalone(const std::string& name, ULONG extra = 0) {
    standalone_.push_back(std::make_unique<Layer>(name));
    EXPECT_EQ(standalone_.back()->Create(extra), STATUS_SUCCESS);
    return *standalone_.back();
  }
  Layer& operator[](size_t i) { return *layers_[i]; }
  Layer& Top() { return *layers_.back(); }
  size_t Size() const { return layers_.size(); }

  // Removes every device, top of the stack first.
  void RemoveAll() {
    for (auto it = layers_.rbegin(); it != layers_.rend(); ++it) (*it)->Remove();
    for (auto& layer : standalone_) layer->Remove();
  }

 private:
  std::vector<std::unique_ptr<Layer>> layers_;
  std::vector<std::unique_ptr<Layer>> standalone_;
};

// Runs `body` on a new emulated thread (a worker of the lower driver, a
// bus completing transfers): it starts when the scheduler picks it.
inline void RunOnThread(const std::string& name, std::function<void()> body) {
  emu::Scheduler::Get().Spawn(name, std::move(body));
}

inline void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// A fixture whose stack is taken down before the system shuts down, so
// that what the teardown itself breaks is caught too.
class IoTest : public PlatformTest {
 protected:
  void TearDown() override {
    if (Booted()) stack_.RemoveAll();
    PlatformTest::TearDown();
  }
  Stack stack_;
};

}  // namespace zt::io
