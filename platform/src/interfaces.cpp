// interfaces.cpp - device interfaces: IoRegisterDeviceInterface and
// IoSetDeviceInterfaceState.
//
// An interface is registered per PDO, class GUID and optional reference
// string, and is named by a symbolic link built from the device's instance
// path: "\??\USB#VID_...#...#{class guid}[\reference]".  Clients (the world,
// the tests) list the interfaces and see which are enabled.

#include "internal_registry.hpp"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <optional>

namespace platform {

namespace {

struct Interface {
    GUID classGuid{};
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string reference;
    std::u16string link;
    bool enabled = false;
};

struct InterfaceTable {
    std::mutex lock;
    std::vector<Interface> list;
    std::optional<NTSTATUS> failNextRegistration;
    std::optional<NTSTATUS> failNextStateChange;
};

InterfaceTable &Table()
{
    static InterfaceTable table;
    return table;
}

// Link names handed to drivers are pool blocks: the caller frees them with
// RtlFreeUnicodeString.
constexpr ULONG kLinkTag = MakeTag("IoDi");

bool SameGuid(const GUID &a, const GUID &b) { return RtlEqualMemory(&a, &b, sizeof(GUID)); }

std::u16string View(const UNICODE_STRING *s)
{
    if (!s || !s->Buffer)
        return {};
    return std::u16string(reinterpret_cast<const char16_t *>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::u16string LinkName(std::u16string_view instancePath, const GUID &guid, std::u16string_view reference)
{
    std::u16string link = u"\\??\\";
    for (char16_t c : instancePath)
        link += c == u'\\' ? u'#' : c;
    std::string guidText = GuidToString(guid);
    std::transform(guidText.begin(), guidText.end(), guidText.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    link += u'#';
    link += ToU16(guidText);
    if (!reference.empty()) {
        link += u'\\';
        link += reference;
    }
    return link;
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

InterfaceInfo Info(const Interface &i) { return InterfaceInfo{i.classGuid, i.pdo, i.link, i.enabled}; }

}  // namespace

std::vector<InterfaceInfo> Interfaces()
{
    InterfaceTable &t = Table();
    std::lock_guard guard(t.lock);
    std::vector<InterfaceInfo> out;
    for (const Interface &i : t.list)
        out.push_back(Info(i));
    return out;
}

std::vector<InterfaceInfo> Interfaces(const GUID &classGuid)
{
    InterfaceTable &t = Table();
    std::lock_guard guard(t.lock);
    std::vector<InterfaceInfo> out;
    for (const Interface &i : t.list) {
        if (SameGuid(i.classGuid, classGuid))
            out.push_back(Info(i));
    }
    return out;
}

void FailNextInterfaceRegistration(NTSTATUS status)
{
    InterfaceTable &t = Table();
    std::lock_guard guard(t.lock);
    t.failNextRegistration = status;
}

void FailNextInterfaceStateChange(NTSTATUS status)
{
    InterfaceTable &t = Table();
    std::lock_guard guard(t.lock);
    t.failNextStateChange = status;
}

namespace detail {

void RemoveInterfacesOf(PDEVICE_OBJECT pdo)
{
    InterfaceTable &t = Table();
    std::lock_guard guard(t.lock);
    std::erase_if(t.list, [&](const Interface &i) { return i.pdo == pdo; });
}

void ClearInterfaceFaults()
{
    InterfaceTable &t = Table();
    std::lock_guard guard(t.lock);
    t.failNextRegistration.reset();
    t.failNextStateChange.reset();
}

}  // namespace detail

}  // namespace platform

extern "C" {

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    using namespace platform;
    if (!AtPassiveLevel("IoRegisterDeviceInterface"))
        return STATUS_UNSUCCESSFUL;
    if (!InterfaceClassGuid || !SymbolicLinkName) {
        Violate("ACCESS_VIOLATION", "IoRegisterDeviceInterface called without a class GUID or a place for the link");
        return STATUS_INVALID_PARAMETER;
    }
    {
        InterfaceTable &t = Table();
        std::lock_guard guard(t.lock);
        if (t.failNextRegistration) {
            NTSTATUS status = *t.failNextRegistration;
            t.failNextRegistration.reset();
            return status;
        }
    }
    // Interfaces belong to PnP devices: the device object must be a PDO.
    if (!detail::HasDeviceNode(PhysicalDeviceObject))
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string reference = View(ReferenceString);
    // A reference string is one path component.
    if (reference.find_first_of(u"\\/") != std::u16string::npos)
        return STATUS_INVALID_DEVICE_REQUEST;

    std::u16string link = LinkName(DeviceInstancePath(PhysicalDeviceObject), *InterfaceClassGuid, reference);
    size_t bytes = link.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > MAXUSHORT)
        return STATUS_INVALID_PARAMETER;
    {
        InterfaceTable &t = Table();
        std::lock_guard guard(t.lock);
        auto known = std::find_if(t.list.begin(), t.list.end(), [&](const Interface &i) {
            return i.pdo == PhysicalDeviceObject && SameGuid(i.classGuid, *InterfaceClassGuid) &&
                   detail::EqualNoCase(i.reference, reference);
        });
        if (known == t.list.end())
            t.list.push_back(Interface{*InterfaceClassGuid, PhysicalDeviceObject, reference, link, false});
        else
            link = known->link;  // registering again names the same interface
    }

    auto buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kLinkTag));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, link.c_str(), bytes + sizeof(WCHAR));
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = USHORT(bytes);
    SymbolicLinkName->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    using namespace platform;
    if (!AtPassiveLevel("IoSetDeviceInterfaceState"))
        return STATUS_UNSUCCESSFUL;
    if (!SymbolicLinkName) {
        Violate("ACCESS_VIOLATION", "IoSetDeviceInterfaceState called without a link name");
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string link = View(SymbolicLinkName);

    InterfaceTable &t = Table();
    std::lock_guard guard(t.lock);
    if (t.failNextStateChange) {
        NTSTATUS status = *t.failNextStateChange;
        t.failNextStateChange.reset();
        return status;
    }
    if (link.empty())
        return STATUS_INVALID_PARAMETER;
    // User-mode callers see the same names with "\\?\" in front.
    if (link.starts_with(u"\\\\?\\"))
        link[1] = u'?';
    auto it = std::find_if(t.list.begin(), t.list.end(),
                           [&](const Interface &i) { return detail::EqualNoCase(i.link, link); });
    if (it == t.list.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable) {
        if (it->enabled)
            return detail::kStatusObjectNameExists;  // informational: still a success
        it->enabled = true;
    } else {
        if (!it->enabled)
            return STATUS_OBJECT_NAME_NOT_FOUND;  // disabling what is not enabled
        it->enabled = false;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
