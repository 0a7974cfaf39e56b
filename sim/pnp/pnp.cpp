// pnp.cpp - the world's PnP manager.
#include "pnp/pnp.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

namespace world {

namespace {

using DriverEntryFn = NTSTATUS(NTAPI *)(PDRIVER_OBJECT, PUNICODE_STRING);

// VCP_MODULE_DIR names a folder whose modules stand in for those of the
// same file name: the mutation run loads its mutated drivers this way.
std::string ModuleToLoad(const std::string &path)
{
    const char *dir = std::getenv("VCP_MODULE_DIR");
    if (!dir || !*dir)
        return path;
    std::string candidate = std::string(dir) + "/" + path.substr(path.rfind('/') + 1);
    return access(candidate.c_str(), R_OK) == 0 ? candidate : path;
}

// The drivers of a stack must have detached and deleted their devices
// when IRP_MN_REMOVE_DEVICE comes back: the PnP manager lets the PDO go next.
void CheckRemovedStack(PDEVICE_OBJECT pdo, const std::vector<PDEVICE_OBJECT> &above)
{
    for (PDEVICE_OBJECT device : above) {
        if (!platform::IsDeviceDeleted(device))
            platform::Violate("NO_DELETE_AT_REMOVAL",
                              platform::FormatKernel("%wZ did not delete device %p when IRP_MN_REMOVE_DEVICE for "
                                                     "PDO %p completed",
                                                     &device->DriverObject->DriverName, device, pdo));
        if (platform::IsAttached(device))
            platform::Violate("NO_DETACH_AT_REMOVAL",
                              platform::FormatKernel("%wZ left device %p attached when IRP_MN_REMOVE_DEVICE for PDO "
                                                     "%p completed",
                                                     &device->DriverObject->DriverName, device, pdo));
    }
}

}  // namespace

PnpResult SendRequest(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                      const std::function<void(PIO_STACK_LOCATION)> &prepare, ULONG_PTR information)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        platform::Violate("IRQL_NOT_LESS_OR_EQUAL", "the PnP manager sends its requests at PASSIVE_LEVEL");
    bool removal = major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE;
    if (major == IRP_MJ_PNP && minor == IRP_MN_SURPRISE_REMOVAL)
        platform::SetSurpriseRemovalPending(target, true);
    if (removal)
        platform::SetSurpriseRemovalPending(target, false);
    std::vector<PDEVICE_OBJECT> above;
    if (removal) {
        above = platform::DeviceStack(target);
        above.erase(above.begin());
    }
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(target);
    PIRP irp = platform::BuildSynchronousRequest(top, major, minor, &event, &iosb);
    if (!irp) {
        ObDereferenceObject(top);
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = information;
    if (prepare)
        prepare(IoGetNextIrpStackLocation(irp));
    const bool busRelations = major == IRP_MJ_PNP && minor == IRP_MN_QUERY_DEVICE_RELATIONS &&
                              IoGetNextIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type == BusRelations;
    NTSTATUS status = platform::CallAndWait(top, irp, &event, &iosb);
    ObDereferenceObject(top);
    if (platform::IsUnknownMinor(major, minor) && (status != STATUS_NOT_SUPPORTED || iosb.Information != information))
        platform::Violate(major == IRP_MJ_PNP ? "UNHANDLED_PNP_STATUS_CHANGED" : "UNHANDLED_POWER_STATUS_CHANGED",
                          platform::FormatKernel("a driver of the stack of %p changed the status of a request no "
                                                 "driver handles (major 0x%02x minor 0x%02x) to 0x%08lx",
                                                 target, major, minor, status));
    if (removal)
        CheckRemovedStack(target, above);
    if (busRelations && NT_SUCCESS(status) && iosb.Information) {
        // A bus relations list names physical device objects only.
        auto relations = reinterpret_cast<PDEVICE_RELATIONS>(iosb.Information);
        for (ULONG i = 0; i < relations->Count; ++i)
            if (!platform::IsPdo(relations->Objects[i]))
                platform::Violate("NON_PDO_IN_BUS_RELATIONS",
                                  platform::FormatKernel("the bus relations of the stack of %p name %p (of %wZ), "
                                                         "which is attached to a device below it",
                                                         target, relations->Objects[i],
                                                         &relations->Objects[i]->DriverObject->DriverName));
    }
    return {status, iosb.Information};
}

// ---------------------------------------------------------------------------
// DriverModule

namespace {

bool IsDriverImage(const std::string &path)
{
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".sys") == 0;
}

}  // namespace

std::unique_ptr<DriverModule> DriverModule::Load(const std::string &path, std::u16string_view serviceName,
                                                 std::string *error)
{
    const std::string file = ModuleToLoad(path);
    if (IsDriverImage(file)) {
        std::unique_ptr<platform::DriverImage> image = platform::DriverImage::Load(file, error);
        if (!image)
            return nullptr;
        std::unique_ptr<DriverModule> module(new DriverModule);
        module->image_ = std::move(image);
        const platform::ImageInfo &info = module->image_->info();
        platform::RegisterDriverImage(reinterpret_cast<const void *>(info.base));
        module->Enter(serviceName, module->image_->entryPoint());
        module->driver_->DriverStart = reinterpret_cast<PVOID>(info.base);
        module->driver_->DriverSize = info.size;
        module->entryStatus_ = module->image_->CallEntry(module->driver_, &module->registryPathString_);
        return module;
    }
    void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (error)
            *error = dlerror();
        return nullptr;
    }
    auto entry = reinterpret_cast<DriverEntryFn>(dlsym(handle, "DriverEntry"));
    if (!entry) {
        if (error)
            *error = path + ": no DriverEntry";
        dlclose(handle);
        return nullptr;
    }
    platform::RegisterDriverImage(reinterpret_cast<const void *>(entry));
    std::unique_ptr<DriverModule> module(new DriverModule);
    module->handle_ = handle;
    module->Enter(serviceName, entry);
    module->entryStatus_ = entry(module->driver_, &module->registryPathString_);
    return module;
}

void DriverModule::Enter(std::u16string_view serviceName, PDRIVER_INITIALIZE entry)
{
    driver_ = platform::CreateDriverObject(u"\\Driver\\" + std::u16string(serviceName));
    registryPath_ = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(serviceName);
    registryPathString_.Buffer = reinterpret_cast<PWSTR>(registryPath_.data());
    registryPathString_.Length = USHORT(registryPath_.size() * 2);
    registryPathString_.MaximumLength = USHORT(registryPathString_.Length + 2);
    driver_->DriverExtension->ServiceKeyName = registryPathString_;
    driver_->DriverInit = entry;
}

DriverModule::~DriverModule()
{
    if (handle_)
        Unload();
}

void *DriverModule::Symbol(const char *name) const
{
    if (image_)
        return image_->Export(name);
    return handle_ ? dlsym(handle_, name) : nullptr;
}

bool DriverModule::Unload()
{
    if (!loaded())
        return true;
    if (NT_SUCCESS(entryStatus_) && driver_->DriverUnload)
        driver_->DriverUnload(driver_);
    if (driver_->DeviceObject) {
        platform::Violate("DRIVER_UNLOADED_WITH_DEVICES",
                          platform::FormatKernel("driver %wZ unloaded while device %p is left", &driver_->DriverName,
                                                 driver_->DeviceObject));
        return false;
    }
    platform::DeleteDriverObject(driver_);
    driver_ = nullptr;
    if (handle_)
        dlclose(handle_);
    handle_ = nullptr;
    image_.reset();
    return true;
}

// ---------------------------------------------------------------------------
// DevNode

DevNode::DevNode(PDEVICE_OBJECT pdo, std::u16string instancePath) : pdo_(pdo), instancePath_(std::move(instancePath))
{
    platform::CreateDeviceNode(pdo_, instancePath_);
}

DevNode::~DevNode() { platform::DeleteDeviceNode(pdo_); }

PDEVICE_OBJECT DevNode::top() const { return IoGetAttachedDevice(pdo_); }

void DevNode::SetDword(std::u16string_view name, ULONG value) { platform::SetDriverDword(pdo_, name, value); }

void DevNode::SetValue(std::u16string_view name, ULONG type, const void *data, size_t size)
{
    platform::SetDriverValue(pdo_, name, type, data, size);
}

NTSTATUS DevNode::AddDevices(DriverModule *function, const std::vector<DriverModule *> &upperFilters)
{
    std::vector<DriverModule *> order{function};
    order.insert(order.end(), upperFilters.begin(), upperFilters.end());
    for (size_t i = 0; i < order.size(); ++i) {
        PDRIVER_OBJECT driver = order[i]->driver();
        PDEVICE_OBJECT below = top();
        NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo_);
        if (!NT_SUCCESS(status))
            return status;
        PDEVICE_OBJECT added = top();
        if (added == below)
            continue;
        if (added->Flags & DO_DEVICE_INITIALIZING)
            platform::Violate("DEVICE_INITIALIZING_LEFT_SET",
                              platform::FormatKernel("%wZ left DO_DEVICE_INITIALIZING set on %p", &driver->DriverName,
                                                     added));
        if (i > 0) {
            const ULONG copied = DO_BUFFERED_IO | DO_DIRECT_IO;
            if ((added->Flags & copied) != (below->Flags & copied) || added->DeviceType != below->DeviceType)
                platform::Violate("FILTER_FLAGS_NOT_COPIED",
                                  platform::FormatKernel("filter %p of %wZ did not copy the I/O flags and device type "
                                                         "of %p below it",
                                                         added, &driver->DriverName, below));
        }
    }
    return STATUS_SUCCESS;
}

PnpResult DevNode::SendPnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare)
{
    return SendRequest(pdo_, IRP_MJ_PNP, minor, prepare, 0);
}

PnpResult DevNode::SendPnpTo(PDEVICE_OBJECT target, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare)
{
    return SendRequest(target, IRP_MJ_PNP, minor, prepare, 0);
}

NTSTATUS DevNode::Start() { return SendPnp(IRP_MN_START_DEVICE).status; }

NTSTATUS DevNode::QueryCapabilities(DEVICE_CAPABILITIES *caps)
{
    *caps = DEVICE_CAPABILITIES{};
    caps->Size = sizeof(DEVICE_CAPABILITIES);
    caps->Version = 1;
    caps->Address = ULONG(-1);
    caps->UINumber = ULONG(-1);
    return SendPnp(IRP_MN_QUERY_CAPABILITIES, [caps](PIO_STACK_LOCATION sp) {
               sp->Parameters.DeviceCapabilities.Capabilities = caps;
           }).status;
}

NTSTATUS DevNode::Remove(bool surprise)
{
    if (surprise)
        SendPnp(IRP_MN_SURPRISE_REMOVAL);
    return SendPnp(IRP_MN_REMOVE_DEVICE).status;
}

PnpResult SendPnp(PDEVICE_OBJECT target, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare)
{
    return SendRequest(target, IRP_MJ_PNP, minor, prepare, 0);
}

PnpResult SendPower(PDEVICE_OBJECT top, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare)
{
    return SendRequest(top, IRP_MJ_POWER, minor, prepare, 0);
}

}  // namespace world
