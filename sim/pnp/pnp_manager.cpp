// pnp_manager.cpp - the PnP and power managers over a tree of device nodes.
#include "pnp/pnp_manager.hpp"

#include <algorithm>
#include <cstring>

namespace world {

namespace {

constexpr ULONG kWdmTag = platform::MakeTag("Wdm ");

// What a bus driver hands the PnP manager it must have allocated from paged
// pool; the manager frees it.
void TakeAnswer(PVOID answer, const char *what)
{
    if (!answer)
        return;
    POOL_TYPE type;
    ULONG tag;
    if (!platform::IsPoolBlock(answer, &type, &tag)) {
        platform::Violate("PNP_ANSWER_NOT_POOL", std::string(what) + " answer is not a pool block");
        return;
    }
    if (type != PagedPool || tag != kWdmTag)
        platform::Violate("PNP_ANSWER_POOL", std::string(what) + " answer came from " +
                                                 (type == PagedPool ? "paged" : "non-paged") + " pool with tag '" +
                                                 platform::TagName(tag) + "'");
    ExFreePool(answer);
}

std::string WideAnswer(ULONG_PTR information)
{
    return information ? platform::ToUtf8(reinterpret_cast<const WCHAR *>(information)) : std::string();
}

void SetSystemState(PIO_STACK_LOCATION sp, SYSTEM_POWER_STATE state)
{
    sp->Parameters.Power.Type = SystemPowerState;
    sp->Parameters.Power.State.SystemState = state;
    sp->Parameters.Power.ShutdownType = state == PowerSystemHibernate ? PowerActionHibernate
                                        : state == PowerSystemWorking ? PowerActionNone
                                                                      : PowerActionSleep;
}

}  // namespace

PnpManager::~PnpManager()
{
    std::vector<Node *> roots;
    for (auto &n : nodes_)
        if (!n->parent && !n->removed)
            roots.push_back(n.get());
    for (Node *root : roots)
        RemoveWin98(root);
}

PnpManager::Node *PnpManager::NewNode(PDEVICE_OBJECT pdo, std::u16string instancePath, Node *parent)
{
    auto node = std::make_unique<Node>();
    node->devnode = std::make_unique<DevNode>(pdo, std::move(instancePath));
    node->parent = parent;
    Node *raw = node.get();
    nodes_.push_back(std::move(node));
    if (parent)
        parent->children.push_back(raw);
    return raw;
}

PnpManager::Node *PnpManager::AddRoot(PDEVICE_OBJECT pdo, std::u16string instancePath, DriverModule *function,
                                      std::vector<DriverModule *> filters,
                                      const std::function<void(DevNode &)> &setValues, NTSTATUS *status)
{
    Node *node = NewNode(pdo, std::move(instancePath), nullptr);
    if (setValues)
        setValues(*node->devnode);
    NTSTATUS result = node->devnode->AddDevices(function, filters);
    if (NT_SUCCESS(result))
        result = node->devnode->Start();
    if (NT_SUCCESS(result)) {
        node->started = true;
        Enumerate(node);
    }
    if (status)
        *status = result;
    return node;
}

NTSTATUS PnpManager::Enumerate(Node *node)
{
    PnpResult r = node->devnode->SendPnp(IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    if (!NT_SUCCESS(r.status) || !r.information)
        return r.status;
    auto relations = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
    std::vector<PDEVICE_OBJECT> reported(relations->Objects, relations->Objects + relations->Count);
    if (!platform::IsPoolBlock(relations))
        platform::Violate("PNP_ANSWER_NOT_POOL", "bus relations answer is not a pool block");
    else
        ExFreePool(relations);
    for (PDEVICE_OBJECT pdo : reported) {
        bool known = std::any_of(node->children.begin(), node->children.end(),
                                 [pdo](Node *c) { return c->devnode->pdo() == pdo && !c->removed; });
        if (!known) {
            ChildIdentity identity = QueryChild(pdo);
            std::string path = identity.deviceId.empty() ? "UNKNOWN" : identity.deviceId;
            path += "\\" + (identity.instanceId.empty() ? std::string("0000") : identity.instanceId);
            Node *child = NewNode(pdo, platform::ToU16(path), node);
            child->identity = identity;
            if (NT_SUCCESS(child->devnode->Start())) {
                child->started = true;
                if (onChildStarted)
                    onChildStarted(node, child);
            }
        }
        ObDereferenceObject(pdo);  // every reported PDO carries a reference for the manager
    }
    return r.status;
}

ChildIdentity PnpManager::QueryChild(PDEVICE_OBJECT pdo)
{
    ChildIdentity id;
    auto send = [pdo](UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare = {}) {
        return SendPnp(pdo, minor, prepare);
    };
    auto queryId = [&](BUS_QUERY_ID_TYPE type) {
        PnpResult r = send(IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; });
        std::string text = NT_SUCCESS(r.status) ? WideAnswer(r.information) : std::string();
        if (NT_SUCCESS(r.status))
            TakeAnswer(reinterpret_cast<PVOID>(r.information), "ID");
        return std::make_pair(r, text);
    };
    id.deviceId = queryId(BusQueryDeviceID).second;
    id.instanceId = queryId(BusQueryInstanceID).second;
    auto hw = queryId(BusQueryHardwareIDs);
    id.hardwareIdsStatus = hw.first.status;
    id.hardwareIdsAnswered = hw.first.information != 0;
    queryId(BusQueryCompatibleIDs);

    id.capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    id.capabilities.Version = 1;
    id.capabilities.Address = id.capabilities.UINumber = ULONG(-1);
    send(IRP_MN_QUERY_CAPABILITIES, [&id](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &id.capabilities;
    });

    PnpResult text = send(IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
        sp->Parameters.QueryDeviceText.LocaleId = 0x409;
    });
    if (NT_SUCCESS(text.status)) {
        id.description = WideAnswer(text.information);
        TakeAnswer(reinterpret_cast<PVOID>(text.information), "device text");
    }
    PnpResult location = send(IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceText.DeviceTextType = DeviceTextLocationInformation;
        sp->Parameters.QueryDeviceText.LocaleId = 0x409;
    });
    if (NT_SUCCESS(location.status))
        TakeAnswer(reinterpret_cast<PVOID>(location.information), "location text");

    PnpResult req = send(IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    if (NT_SUCCESS(req.status) && req.information) {
        auto list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(req.information);
        size_t size = 0;
        if (platform::IsPoolBlock(list, nullptr, nullptr, &size)) {
            size_t n = std::min<size_t>(size, list->ListSize);
            id.resourceRequirements.assign(reinterpret_cast<uint8_t *>(list), reinterpret_cast<uint8_t *>(list) + n);
        }
        TakeAnswer(list, "resource requirements");
    }
    PnpResult bus = send(IRP_MN_QUERY_BUS_INFORMATION);
    if (NT_SUCCESS(bus.status) && bus.information) {
        id.busInformationAnswered = true;
        std::memcpy(&id.busInformation, reinterpret_cast<void *>(bus.information), sizeof(PNP_BUS_INFORMATION));
        TakeAnswer(reinterpret_cast<PVOID>(bus.information), "bus information");
    }
    return id;
}

void PnpManager::Walk(Node *node, bool childrenFirst, const std::function<void(Node *)> &fn)
{
    if (!childrenFirst)
        fn(node);
    std::vector<Node *> children(node->children.begin(), node->children.end());
    for (Node *c : children)
        if (!c->removed)
            Walk(c, childrenFirst, fn);
    if (childrenFirst)
        fn(node);
}

void PnpManager::ForgetSubtree(Node *node)
{
    for (Node *c : std::vector<Node *>(node->children.begin(), node->children.end()))
        ForgetSubtree(c);
    if (node->parent)
        node->parent->children.remove(node);
    nodes_.remove_if([node](const std::unique_ptr<Node> &n) { return n.get() == node; });
}

NTSTATUS PnpManager::QueryStop(Node *node) { return node->devnode->SendPnp(IRP_MN_QUERY_STOP_DEVICE).status; }
NTSTATUS PnpManager::CancelStop(Node *node) { return node->devnode->SendPnp(IRP_MN_CANCEL_STOP_DEVICE).status; }

NTSTATUS PnpManager::Stop(Node *node)
{
    NTSTATUS status = node->devnode->SendPnp(IRP_MN_STOP_DEVICE).status;
    if (NT_SUCCESS(status))
        node->started = false;
    return status;
}

NTSTATUS PnpManager::StartAgain(Node *node)
{
    NTSTATUS status = node->devnode->Start();
    node->started = NT_SUCCESS(status);
    return status;
}

NTSTATUS PnpManager::QueryRemove(Node *node) { return node->devnode->SendPnp(IRP_MN_QUERY_REMOVE_DEVICE).status; }
NTSTATUS PnpManager::CancelRemove(Node *node) { return node->devnode->SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE).status; }

void PnpManager::RemoveWin98(Node *node)
{
    Walk(node, true, [](Node *n) {
        n->devnode->SendPnp(IRP_MN_REMOVE_DEVICE);
        n->removed = true;
    });
    ForgetSubtree(node);
}

void PnpManager::RemoveSurprise(Node *node)
{
    Walk(node, true, [](Node *n) { n->devnode->SendPnp(IRP_MN_SURPRISE_REMOVAL); });
    Walk(node, true, [](Node *n) {
        n->devnode->SendPnp(IRP_MN_REMOVE_DEVICE);
        n->removed = true;
    });
    ForgetSubtree(node);
}

NTSTATUS PnpManager::RemoveOrderly(Node *node)
{
    std::vector<Node *> queried;
    NTSTATUS status = STATUS_SUCCESS;
    Walk(node, true, [&](Node *n) {
        if (!NT_SUCCESS(status))
            return;
        status = QueryRemove(n);
        if (NT_SUCCESS(status))
            queried.push_back(n);
    });
    if (!NT_SUCCESS(status)) {
        for (Node *n : queried)
            CancelRemove(n);
        return status;
    }
    RemoveWin98(node);
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::SetSystemPower(SYSTEM_POWER_STATE state)
{
    NTSTATUS result = STATUS_SUCCESS;
    std::vector<Node *> roots;
    for (auto &n : nodes_)
        if (!n->parent && !n->removed && n->started)
            roots.push_back(n.get());
    bool down = state != PowerSystemWorking;
    for (Node *root : roots) {
        if (down)
            Walk(root, true, [&](Node *n) {
                NTSTATUS s = SendPower(n->devnode->top(), IRP_MN_QUERY_POWER,
                                       [state](PIO_STACK_LOCATION sp) { SetSystemState(sp, state); })
                                 .status;
                if (!NT_SUCCESS(s))
                    result = s;
            });
        Walk(root, down, [&](Node *n) {
            NTSTATUS s = SendPower(n->devnode->top(), IRP_MN_SET_POWER,
                                   [state](PIO_STACK_LOCATION sp) { SetSystemState(sp, state); })
                             .status;
            if (!NT_SUCCESS(s))
                result = s;
        });
    }
    systemPower_ = state;
    return result;
}

}  // namespace world
