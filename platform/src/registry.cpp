// registry.cpp - device nodes and the part of the registry drivers reach:
// IoOpenDeviceRegistryKey, ZwQueryValueKey and ZwClose.
//
// Each device node (the PnP manager's record of a PDO) has an instance path
// and a driver key of typed values that the world fills.  A driver opens the
// key by its PDO and reads values into the kernel's information records with
// their real layouts, including the partial results it gets when its buffer is
// short.  Handles are counted so that a driver that forgets ZwClose shows up
// in the leak report.

#include "internal_registry.hpp"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {

namespace {

constexpr ACCESS_MASK kGenericRead = 0x80000000;
constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;

struct Value {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key {
    std::vector<Value> values;

    Value *Find(std::u16string_view name)
    {
        for (Value &v : values) {
            if (detail::EqualNoCase(v.name, name))
                return &v;
        }
        return nullptr;
    }
};

struct DeviceNode {
    std::u16string instancePath;
    // Keys by PLUGPLAY_REGKEY_* type; the driver key always exists, the others
    // are made empty when first opened.
    std::map<ULONG, std::shared_ptr<Key>> keys;
};

struct OpenKey {
    std::shared_ptr<Key> key;  // keeps the key alive while the handle is open
    ACCESS_MASK access = 0;
};

struct Registry {
    std::mutex lock;
    std::map<PDEVICE_OBJECT, DeviceNode> nodes;
    std::map<uintptr_t, OpenKey> handles;
    // Handle values look like kernel handles and are never reused, so a
    // stale handle is always recognised.
    uintptr_t nextHandle = 0x80000004;
    std::optional<NTSTATUS> failNextOpen;
};

Registry &Reg()
{
    static Registry registry;
    return registry;
}

std::string Hex(const void *p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

std::string Utf8(std::u16string_view s)
{
    return ToUtf8(reinterpret_cast<const WCHAR *>(s.data()), s.size());
}

DeviceNode *NodeOf(Registry &r, PDEVICE_OBJECT pdo)
{
    auto it = r.nodes.find(pdo);
    return it == r.nodes.end() ? nullptr : &it->second;
}

// Reported with the registry unlocked: the verifier may look at the kernel.
void ReportNoNode(const char *caller, PDEVICE_OBJECT pdo)
{
    Violate("NO_DEVICE_NODE", std::string(caller) + ": device object " + Hex(pdo) + " has no device node");
}

bool AtPassiveLevel(const char *routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql == PASSIVE_LEVEL)
        return true;
    Violate("IRQL_NOT_LESS_OR_EQUAL",
            std::string(routine) + " called at IRQL " + std::to_string(irql) + "; it must be called at PASSIVE_LEVEL");
    return false;
}

ACCESS_MASK MapGenericAccess(ACCESS_MASK access)
{
    if (access & (kGenericAll | kMaximumAllowed))
        access |= KEY_ALL_ACCESS;
    if (access & kGenericRead)
        access |= KEY_READ;
    return access;
}

// The caller's buffer need not be aligned: fields are stored bytewise.
void Put32(void *buffer, size_t offset, ULONG value)
{
    RtlCopyMemory(static_cast<UCHAR *>(buffer) + offset, &value, sizeof value);
}

void PutBytes(void *buffer, size_t offset, const void *data, size_t size)
{
    if (size)
        RtlCopyMemory(static_cast<UCHAR *>(buffer) + offset, data, size);
}

ULONG AlignUp4(ULONG n) { return (n + 3u) & ~3u; }

// The layout of KEY_VALUE_BASIC_INFORMATION, which wdm.h does not declare.
constexpr ULONG kBasicNameOffset = 3 * sizeof(ULONG);

// Fills one of the value information records.  As the kernel does: the
// result length is always the size the whole record needs; a buffer shorter
// than the fixed part gets nothing (STATUS_BUFFER_TOO_SMALL); otherwise the
// fixed part is written and as much of the name and data as fits, with
// STATUS_BUFFER_OVERFLOW when something was cut.
NTSTATUS FillValueInformation(const Value &value, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                              PULONG resultLength)
{
    const ULONG nameLength = ULONG(value.name.size() * sizeof(WCHAR));
    const ULONG dataLength = ULONG(value.data.size());
    NTSTATUS status = STATUS_SUCCESS;

    auto copyPart = [&](size_t offset, const void *data, ULONG size) {
        ULONG room = length > offset ? ULONG(length - offset) : 0;
        if (room < size) {
            size = room;
            status = STATUS_BUFFER_OVERFLOW;
        }
        PutBytes(buffer, offset, data, size);
    };

    switch (infoClass) {
    case KeyValueBasicInformation: {
        *resultLength = kBasicNameOffset + nameLength;
        if (length < kBasicNameOffset)
            return STATUS_BUFFER_TOO_SMALL;
        Put32(buffer, 0, 0);
        Put32(buffer, 4, value.type);
        Put32(buffer, 8, nameLength);
        copyPart(kBasicNameOffset, value.name.data(), nameLength);
        return status;
    }
    case KeyValueFullInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        // The data follows the name at the next 4-byte boundary; a value
        // without data has no offset (all ones) and no padding.
        const ULONG dataOffset = dataLength ? AlignUp4(fixed + nameLength) : 0xFFFFFFFFu;
        *resultLength = dataLength ? dataOffset + dataLength : fixed + nameLength;
        if (length < ULONG(fixed))
            return STATUS_BUFFER_TOO_SMALL;
        Put32(buffer, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
        Put32(buffer, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Type), value.type);
        Put32(buffer, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
        Put32(buffer, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength), dataLength);
        Put32(buffer, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength), nameLength);
        copyPart(fixed, value.name.data(), nameLength);
        if (dataLength)
            copyPart(dataOffset, value.data.data(), dataLength);
        return status;
    }
    case KeyValuePartialInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        *resultLength = fixed + dataLength;
        if (length < ULONG(fixed))
            return STATUS_BUFFER_TOO_SMALL;
        Put32(buffer, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
        Put32(buffer, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        Put32(buffer, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataLength);
        copyPart(fixed, value.data.data(), dataLength);
        return status;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// The world's side: device nodes and their values.

void CreateDeviceNode(PDEVICE_OBJECT pdo, std::u16string_view instancePath)
{
    Registry &r = Reg();
    std::unique_lock guard(r.lock);
    if (DeviceNode *existing = NodeOf(r, pdo)) {
        std::string path = Utf8(existing->instancePath);
        guard.unlock();
        Violate("DEVICE_NODE_EXISTS",
                "CreateDeviceNode: device object " + Hex(pdo) + " already has a device node (" + path + ")");
        return;
    }
    DeviceNode node;
    node.instancePath = instancePath;
    node.keys[PLUGPLAY_REGKEY_DRIVER] = std::make_shared<Key>();
    r.nodes.emplace(pdo, std::move(node));
}

void DeleteDeviceNode(PDEVICE_OBJECT pdo)
{
    bool found = false;
    {
        Registry &r = Reg();
        std::lock_guard guard(r.lock);
        // Open handles keep their key; only the node goes.
        found = r.nodes.erase(pdo) == 1;
    }
    if (!found) {
        ReportNoNode("DeleteDeviceNode", pdo);
        return;
    }
    detail::RemoveInterfacesOf(pdo);
}

std::u16string DeviceInstancePath(PDEVICE_OBJECT pdo)
{
    Registry &r = Reg();
    std::lock_guard guard(r.lock);
    DeviceNode *node = NodeOf(r, pdo);
    return node ? node->instancePath : std::u16string();
}

void SetDriverValue(PDEVICE_OBJECT pdo, std::u16string_view name, ULONG type, const void *data, size_t size)
{
    Registry &r = Reg();
    std::unique_lock guard(r.lock);
    DeviceNode *node = NodeOf(r, pdo);
    if (!node) {
        guard.unlock();
        ReportNoNode("SetDriverValue", pdo);
        return;
    }
    Key &key = *node->keys[PLUGPLAY_REGKEY_DRIVER];
    auto bytes = static_cast<const uint8_t *>(data);
    std::vector<uint8_t> stored(bytes, bytes + (bytes ? size : 0));
    if (Value *v = key.Find(name)) {
        v->type = type;
        v->data = std::move(stored);
        return;
    }
    key.values.push_back(Value{std::u16string(name), type, std::move(stored)});
}

void SetDriverDword(PDEVICE_OBJECT pdo, std::u16string_view name, ULONG value)
{
    SetDriverValue(pdo, name, REG_DWORD, &value, sizeof value);
}

void DeleteDriverValue(PDEVICE_OBJECT pdo, std::u16string_view name)
{
    Registry &r = Reg();
    std::unique_lock guard(r.lock);
    DeviceNode *node = NodeOf(r, pdo);
    if (!node) {
        guard.unlock();
        ReportNoNode("DeleteDriverValue", pdo);
        return;
    }
    auto &values = node->keys[PLUGPLAY_REGKEY_DRIVER]->values;
    std::erase_if(values, [&](const Value &v) { return detail::EqualNoCase(v.name, name); });
}

void FailNextRegistryOpen(NTSTATUS status)
{
    Registry &r = Reg();
    std::lock_guard guard(r.lock);
    r.failNextOpen = status;
}

uint64_t RegistryHandlesOpen()
{
    Registry &r = Reg();
    std::lock_guard guard(r.lock);
    return r.handles.size();
}

namespace detail {

bool HasDeviceNode(PDEVICE_OBJECT pdo)
{
    Registry &r = Reg();
    std::lock_guard guard(r.lock);
    return pdo && NodeOf(r, pdo);
}

void ClearRegistryFaults()
{
    Registry &r = Reg();
    std::lock_guard guard(r.lock);
    r.failNextOpen.reset();
}

}  // namespace detail

}  // namespace platform

// ---------------------------------------------------------------------------
// The drivers' side.

using platform::Reg;
using platform::Registry;

extern "C" {

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey)
{
    if (!platform::AtPassiveLevel("IoOpenDeviceRegistryKey"))
        return STATUS_UNSUCCESSFUL;
    if (!DevInstRegKey) {
        platform::Violate("ACCESS_VIOLATION", "IoOpenDeviceRegistryKey called without a place for the handle");
        return STATUS_INVALID_PARAMETER;
    }

    Registry &r = Reg();
    std::lock_guard guard(r.lock);
    if (r.failNextOpen) {
        NTSTATUS status = *r.failNextOpen;
        r.failNextOpen.reset();
        return status;
    }
    // Only a PDO that PnP knows has keys; the kernel refuses any other device.
    platform::DeviceNode *node = platform::NodeOf(r, DeviceObject);
    if (!node)
        return STATUS_INVALID_DEVICE_REQUEST;
    ULONG kind = DevInstKeyType & (PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER);
    if (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER)
        return STATUS_INVALID_PARAMETER;
    if (DevInstKeyType & ~ULONG(PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE))
        return STATUS_INVALID_PARAMETER;

    std::shared_ptr<platform::Key> &key = node->keys[DevInstKeyType];
    if (!key)
        key = std::make_shared<platform::Key>();
    uintptr_t handle = r.nextHandle;
    r.nextHandle += 4;
    r.handles.emplace(handle, platform::OpenKey{key, platform::MapGenericAccess(DesiredAccess)});
    *DevInstRegKey = reinterpret_cast<HANDLE>(handle);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength)
{
    if (!platform::AtPassiveLevel("ZwQueryValueKey"))
        return STATUS_UNSUCCESSFUL;
    if (KeyValueInformationClass != KeyValueBasicInformation &&
        KeyValueInformationClass != KeyValueFullInformation &&
        KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    if (!ResultLength || !ValueName || (ValueName->Length && !ValueName->Buffer) ||
        (Length && !KeyValueInformation)) {
        platform::Violate("ACCESS_VIOLATION", "ZwQueryValueKey called with a null value name, result length or buffer");
        return STATUS_ACCESS_VIOLATION;
    }

    Registry &r = Reg();
    std::lock_guard guard(r.lock);
    auto it = r.handles.find(reinterpret_cast<uintptr_t>(KeyHandle));
    if (it == r.handles.end())
        return STATUS_INVALID_HANDLE;
    if (!(it->second.access & KEY_QUERY_VALUE))
        return STATUS_ACCESS_DENIED;

    std::u16string_view name(reinterpret_cast<const char16_t *>(ValueName->Buffer), ValueName->Length / sizeof(WCHAR));
    const platform::Value *value = it->second.key->Find(name);
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return platform::FillValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length,
                                          ResultLength);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    if (!platform::AtPassiveLevel("ZwClose"))
        return STATUS_UNSUCCESSFUL;
    Registry &r = Reg();
    std::unique_lock guard(r.lock);
    if (r.handles.erase(reinterpret_cast<uintptr_t>(Handle)) == 1)
        return STATUS_SUCCESS;
    guard.unlock();
    platform::Violate("INVALID_HANDLE_CLOSE",
                      "ZwClose of handle " + platform::Hex(Handle) + ", which is not open (never opened or closed already)");
    return STATUS_INVALID_HANDLE;
}

}  // extern "C"
