// pnp.hpp - the world's PnP manager: loads driver modules, builds device
// stacks on PDOs, sends PnP requests as Windows sends them, and unloads.
#pragma once

#include <platform/platform.hpp>

#include <memory>
#include <string>
#include <vector>

namespace world {

// A driver entered through DriverEntry with a driver object and a registry
// path, as the I/O manager enters a .sys: a host module (.so) loaded with
// dlopen(RTLD_LOCAL), or in the 32-bit build a target build's image (.sys)
// mapped by the kernel's loader.  Its exports are found by name, as the port
// VxD finds them through the export directory.
class DriverModule {
public:
    // Loads the module or image and calls DriverEntry.  Returns null (with a
    // reason in *error) when it cannot be loaded or has no DriverEntry.
    static std::unique_ptr<DriverModule> Load(const std::string &path, std::u16string_view serviceName,
                                              std::string *error = nullptr);
    ~DriverModule();  // Unload() if still loaded

    PDRIVER_OBJECT driver() const { return driver_; }
    NTSTATUS entryStatus() const { return entryStatus_; }
    void *Symbol(const char *name) const;  // null when not exported
    template <class F> F Export(const char *name) const { return reinterpret_cast<F>(Symbol(name)); }

    // Calls DriverUnload (if set).  If a device object of the driver is left,
    // reports the violation DRIVER_UNLOADED_WITH_DEVICES and returns false
    // with the module still loaded (the caller may remove the device and try
    // again); otherwise deletes the driver object, closes the module and
    // returns true.
    bool Unload();
    bool loaded() const { return handle_ != nullptr || image_ != nullptr; }
    // The image when the driver is a .sys (null for a host module).
    const platform::DriverImage *image() const { return image_.get(); }

private:
    DriverModule() = default;
    // Makes the driver object and registry path DriverEntry is given.
    void Enter(std::u16string_view serviceName, PDRIVER_INITIALIZE entry);
    void *handle_ = nullptr;
    std::unique_ptr<platform::DriverImage> image_;
    PDRIVER_OBJECT driver_ = nullptr;
    NTSTATUS entryStatus_ = STATUS_SUCCESS;
    std::u16string registryPath_;
    UNICODE_STRING registryPathString_{};
};

// The result of one PnP request the manager sent.
struct PnpResult {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
};

// One device node: a PDO, its registry driver key, and the stack built on it.
class DevNode {
public:
    DevNode(PDEVICE_OBJECT pdo, std::u16string instancePath);
    ~DevNode();  // deletes the registry device node
    DevNode(const DevNode &) = delete;
    DevNode &operator=(const DevNode &) = delete;

    PDEVICE_OBJECT pdo() const { return pdo_; }
    PDEVICE_OBJECT top() const;  // top of the stack (no reference kept)
    const std::u16string &instancePath() const { return instancePath_; }

    // Driver-key values (EndPointCaps, DebugLevel ...).
    void SetDword(std::u16string_view name, ULONG value);
    void SetValue(std::u16string_view name, ULONG type, const void *data, size_t size);

    // Calls each driver's AddDevice on the PDO: the function driver first,
    // then the upper filters in order.  Stops at the first failure.
    NTSTATUS AddDevices(DriverModule *function, const std::vector<DriverModule *> &upperFilters = {});

    // Sends one PnP request to the top of the stack and waits for it.
    // Status and Information start as STATUS_NOT_SUPPORTED and 0 (as Windows
    // sends PnP requests).  prepare fills the first stack location.
    PnpResult SendPnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare = {});
    PnpResult SendPnpTo(PDEVICE_OBJECT target, UCHAR minor,
                        const std::function<void(PIO_STACK_LOCATION)> &prepare = {});

    // Common sequences.
    NTSTATUS Start();
    NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES *caps);
    // Surprise removal (optional) then removal, as the PnP manager does when
    // the device is gone; the stack's device objects are deleted by the drivers.
    NTSTATUS Remove(bool surprise);

private:
    PDEVICE_OBJECT pdo_;
    std::u16string instancePath_;
};

// Sends a PnP or power request to the top of target's stack as the PnP
// manager does (status STATUS_NOT_SUPPORTED, information as given) and waits
// for it.  A driver that changes the status of a request none handles, or a
// removal that leaves a device of the stack behind, is a finding.
PnpResult SendRequest(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                      const std::function<void(PIO_STACK_LOCATION)> &prepare = {}, ULONG_PTR information = 0);
// Sends a PnP request to the top of target's stack and waits for it.
PnpResult SendPnp(PDEVICE_OBJECT target, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare = {});
// Sends a power request to the top of a stack and waits for it.
PnpResult SendPower(PDEVICE_OBJECT top, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare = {});

}  // namespace world
