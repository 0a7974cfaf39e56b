// pnp_manager.cpp - the PnP and power managers over a tree of device nodes.
#include "pnp/pnp_manager.hpp"
#include "thread_name.hpp"

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

// How long the manager waits for a wait-wake to be armed below, or to end
// once cancelled, before it reports the stack.
constexpr auto kWakeArmTimeout = std::chrono::seconds(10);

bool Sleeping(SYSTEM_POWER_STATE state) { return state != PowerSystemWorking; }

// A sleeping state the capabilities can wake the system from: the system
// allows it and the device can signal wake from the state it will be in.
bool CanWakeFrom(const DEVICE_CAPABILITIES &caps, SYSTEM_POWER_STATE state)
{
    if (caps.SystemWake == PowerSystemUnspecified || caps.DeviceWake == PowerDeviceUnspecified ||
        state <= PowerSystemWorking || state >= PowerSystemMaximum || state > caps.SystemWake)
        return false;
    DEVICE_POWER_STATE device = caps.DeviceState[state];
    return device != PowerDeviceUnspecified && device <= caps.DeviceWake;
}

}  // namespace

// One wait-wake the manager requested.  `irp` is written by PoRequestPowerIrp
// before it sends the request, on the sender's thread; it is read once the
// bus driver is known to hold the request.  `completed` and `status` are
// written by WakeComplete.
struct PnpManager::WakeArm {
    PnpManager *manager = nullptr;
    const Node *node = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PIRP irp = nullptr;
    bool held = false;       // under wakeMutex_: the bus driver holds it (irp may be read)
    bool completed = false;  // under wakeMutex_
    NTSTATUS status = STATUS_PENDING;
    std::thread sender;
};

PnpManager::PnpManager()
{
    waker_ = std::jthread([this](std::stop_token stop) {
        NameThisThread("vcp-pnp-wake");
        WakeLoop(stop);
    });
}

PnpManager::~PnpManager()
{
    waker_.request_stop();
    wakeChanged_.notify_all();
    if (waker_.joinable())
        waker_.join();
    std::lock_guard tree(treeMutex_);
    Disarm(nullptr);
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
    std::lock_guard tree(treeMutex_);
    Node *node = NewNode(pdo, std::move(instancePath), nullptr);
    if (setValues)
        setValues(*node->devnode);
    if (flavor() == PnpFlavor::Windows2000)
        platform::SetStartPending(pdo, true);
    NTSTATUS result = node->devnode->AddDevices(function, filters);
    if (NT_SUCCESS(result)) {
        if (beforeStart)
            beforeStart(node);
        result = StartNode(node);
    }
    if (NT_SUCCESS(result))
        Enumerate(node);
    if (status)
        *status = result;
    return node;
}

void PnpManager::SetFlavor(PnpFlavor flavor) { flavor_ = flavor; }
PnpFlavor PnpManager::flavor() const { return flavor_.load(); }

NTSTATUS PnpManager::StartNode(Node *node)
{
    std::lock_guard tree(treeMutex_);
    NTSTATUS status = node->devnode->Start();
    node->stopQueried = false;
    if (NT_SUCCESS(status)) {
        // Once a device has started, the PnP manager asks its whole stack
        // for its capabilities (a child answered before its start) and its
        // state, then for its children.
        node->started = true;
        platform::SetStartPending(node->devnode->pdo(), false);
        if (!node->parent)
            QueryCapabilities(node);
        QueryDeviceState(node);
        return status;
    }
    node->started = false;
    if (flavor() == PnpFlavor::Windows98) {
        // Windows 98 stops a device whose start failed, without a query.
        node->devnode->SendPnp(IRP_MN_STOP_DEVICE);
        return status;
    }
    // Windows 2000 removes it: its drivers undo their AddDevice.
    Disarm(node);
    Walk(node, true, [](Node *n) {
        n->devnode->SendPnp(IRP_MN_REMOVE_DEVICE);
        n->removed = true;
    });
    for (Node *c : std::vector<Node *>(node->children.begin(), node->children.end()))
        ForgetSubtree(c);
    return status;
}

void PnpManager::QueryDeviceState(Node *node)
{
    PnpResult r = node->devnode->SendPnp(IRP_MN_QUERY_PNP_DEVICE_STATE);
    ++node->deviceStateQueries;
    node->pnpDeviceState = NT_SUCCESS(r.status) ? ULONG(r.information) : 0;
}

NTSTATUS PnpManager::Enumerate(Node *node)
{
    std::lock_guard tree(treeMutex_);
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
            if (NT_SUCCESS(StartNode(child)) && onChildStarted)
                onChildStarted(node, child);
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

void PnpManager::QueryCapabilities(Node *node)
{
    node->capabilitiesKnown = NT_SUCCESS(node->devnode->QueryCapabilities(&node->capabilities));
}

NTSTATUS PnpManager::QueryStop(Node *node)
{
    std::lock_guard tree(treeMutex_);
    NTSTATUS status = node->devnode->SendPnp(IRP_MN_QUERY_STOP_DEVICE).status;
    if (NT_SUCCESS(status))
        node->stopQueried = true;
    else
        CancelStop(node);  // the stack that refused it is told too
    return status;
}

NTSTATUS PnpManager::CancelStop(Node *node)
{
    std::lock_guard tree(treeMutex_);
    node->stopQueried = false;
    return node->devnode->SendPnp(IRP_MN_CANCEL_STOP_DEVICE).status;
}

NTSTATUS PnpManager::Stop(Node *node)
{
    std::lock_guard tree(treeMutex_);
    if (flavor() == PnpFlavor::Windows2000 && !node->stopQueried) {
        NTSTATUS queried = QueryStop(node);
        if (!NT_SUCCESS(queried))
            return queried;
    }
    NTSTATUS status = node->devnode->SendPnp(IRP_MN_STOP_DEVICE).status;
    node->stopQueried = false;
    if (NT_SUCCESS(status))
        node->started = false;
    return status;
}

NTSTATUS PnpManager::Disable(Node *node)
{
    std::lock_guard tree(treeMutex_);
    NTSTATUS status = QueryStop(node);
    if (!NT_SUCCESS(status))
        return status;
    return Stop(node);
}

NTSTATUS PnpManager::StartAgain(Node *node)
{
    std::lock_guard tree(treeMutex_);
    return StartNode(node);
}

NTSTATUS PnpManager::QueryRemove(Node *node)
{
    std::lock_guard tree(treeMutex_);
    NTSTATUS status = node->devnode->SendPnp(IRP_MN_QUERY_REMOVE_DEVICE).status;
    if (!NT_SUCCESS(status))
        CancelRemove(node);  // sent even to the stack that refused the query
    return status;
}

NTSTATUS PnpManager::CancelRemove(Node *node)
{
    std::lock_guard tree(treeMutex_);
    return node->devnode->SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE).status;
}

void PnpManager::RemoveWin98(Node *node)
{
    std::lock_guard tree(treeMutex_);
    if (node->removed) {  // its start failed and its stack went then
        ForgetSubtree(node);
        return;
    }
    // The policy owner's wait-wake goes before its device does.
    Disarm(node);
    Walk(node, true, [](Node *n) {
        n->devnode->SendPnp(IRP_MN_REMOVE_DEVICE);
        n->removed = true;
    });
    ForgetSubtree(node);
}

void PnpManager::RemoveSurprise(Node *node)
{
    std::lock_guard tree(treeMutex_);
    if (node->removed) {
        ForgetSubtree(node);
        return;
    }
    Disarm(node);
    Walk(node, true, [](Node *n) { n->devnode->SendPnp(IRP_MN_SURPRISE_REMOVAL); });
    // The removal comes once the last handle to the device is closed.
    Walk(node, true, [this](Node *n) { WaitForHandles(n); });
    Walk(node, true, [](Node *n) {
        n->devnode->SendPnp(IRP_MN_REMOVE_DEVICE);
        n->removed = true;
    });
    ForgetSubtree(node);
}

void PnpManager::WaitForHandles(Node *node)
{
    PDEVICE_OBJECT pdo = node->devnode->pdo();
    auto deadline = std::chrono::steady_clock::now() + handleWait;
    while (platform::OpenHandles(pdo) != 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            platform::Violate("HANDLE_NEVER_CLOSED",
                              platform::FormatKernel("a handle to the stack of %p stayed open after its surprise "
                                                     "removal; it is removed anyway",
                                                     pdo));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

NTSTATUS PnpManager::RemoveOrderly(Node *node)
{
    std::lock_guard tree(treeMutex_);
    std::vector<Node *> queried;  // the one that refuses included
    NTSTATUS status = STATUS_SUCCESS;
    Walk(node, true, [&](Node *n) {
        if (!NT_SUCCESS(status))
            return;
        status = n->devnode->SendPnp(IRP_MN_QUERY_REMOVE_DEVICE).status;
        queried.push_back(n);
    });
    if (!NT_SUCCESS(status)) {
        for (auto it = queried.rbegin(); it != queried.rend(); ++it)
            CancelRemove(*it);
        return status;
    }
    RemoveWin98(node);
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::SendSystemPower(std::vector<Node *> &roots, UCHAR minor, SYSTEM_POWER_STATE state,
                                     bool childrenFirst, std::vector<Node *> *reached)
{
    NTSTATUS result = STATUS_SUCCESS;
    for (Node *root : roots)
        Walk(root, childrenFirst, [&](Node *n) {
            if (!NT_SUCCESS(result) && minor == IRP_MN_QUERY_POWER)
                return;  // one refusal ends the query
            NTSTATUS s = SendPower(n->devnode->top(), minor, [state](PIO_STACK_LOCATION sp) {
                             SetSystemState(sp, state);
                         }).status;
            if (reached)
                reached->push_back(n);
            if (!NT_SUCCESS(s))
                result = s;
        });
    return result;
}

NTSTATUS PnpManager::SetSystemPower(SYSTEM_POWER_STATE state)
{
    std::lock_guard tree(treeMutex_);
    SYSTEM_POWER_STATE current = systemPower();
    if (state == current)
        return STATUS_SUCCESS;
    if (Sleeping(state) && Sleeping(current)) {
        NTSTATUS woken = SetSystemPower(PowerSystemWorking);
        if (!NT_SUCCESS(woken))
            return woken;
    }
    std::vector<Node *> roots;
    for (auto &n : nodes_)
        if (!n->parent && !n->removed && n->started)
            roots.push_back(n.get());
    auto enter = [this](SYSTEM_POWER_STATE s) {
        {
            std::lock_guard guard(wakeMutex_);
            systemPower_ = s;
        }
        wakeChanged_.notify_all();
    };

    if (!Sleeping(state)) {
        // A failed set-power is ignored: the system is back at work anyway.
        SendSystemPower(roots, IRP_MN_SET_POWER, state, false, nullptr);
        // Back at work: the wait-wakes that did not fire are withdrawn.
        Disarm(nullptr);
        enter(state);
        return STATUS_SUCCESS;
    }

    std::vector<Node *> queried;
    NTSTATUS refused = SendSystemPower(roots, IRP_MN_QUERY_POWER, state, true, &queried);
    if (!NT_SUCCESS(refused)) {
        // The system stays at work, and the nodes asked are told so.
        for (auto it = queried.rbegin(); it != queried.rend(); ++it)
            SendPower((*it)->devnode->top(), IRP_MN_SET_POWER,
                      [](PIO_STACK_LOCATION sp) { SetSystemState(sp, PowerSystemWorking); });
        return refused;
    }
    // Every node agreed: the policy owners arm wake now, while their
    // devices are in D0 and no other power request of theirs is under way.
    bool arm;
    {
        std::lock_guard guard(wakeMutex_);
        arm = armWake_;
    }
    for (Node *root : roots)
        if (arm && waitWakeHeld && root->capabilitiesKnown && CanWakeFrom(root->capabilities, state))
            ArmWake(root);
    // A failed set-power is ignored: the system sleeps anyway.
    SendSystemPower(roots, IRP_MN_SET_POWER, state, true, nullptr);
    enter(state);
    return STATUS_SUCCESS;
}

SYSTEM_POWER_STATE PnpManager::systemPower() const
{
    std::lock_guard guard(wakeMutex_);
    return systemPower_;
}

bool PnpManager::WaitForSystemPower(SYSTEM_POWER_STATE state, std::chrono::milliseconds timeout) const
{
    std::unique_lock guard(wakeMutex_);
    return wakeChanged_.wait_for(guard, timeout, [&] { return systemPower_ == state; });
}

void PnpManager::SetWakeArming(bool on)
{
    std::lock_guard guard(wakeMutex_);
    armWake_ = on;
}

bool PnpManager::WakeArmed(const Node *node) const
{
    std::lock_guard guard(wakeMutex_);
    return std::any_of(arms_.begin(), arms_.end(), [node](const auto &a) { return a->node == node && !a->completed; });
}

std::vector<PnpManager::WakeOutcome> PnpManager::wakeOutcomes() const
{
    std::lock_guard guard(wakeMutex_);
    return outcomes_;
}

unsigned PnpManager::deviceWakes() const
{
    std::lock_guard guard(wakeMutex_);
    return deviceWakes_;
}

void PnpManager::ArmWake(Node *node)
{
    auto owned = std::make_unique<WakeArm>();
    WakeArm *a = owned.get();
    a->manager = this;
    a->node = node;
    a->pdo = node->devnode->pdo();
    POWER_STATE wakeFrom;
    wakeFrom.SystemState = node->capabilities.SystemWake;
    {
        std::lock_guard guard(wakeMutex_);
        arms_.push_back(std::move(owned));
    }
    // The function driver holds the request in its dispatch routine until
    // the wake: it is sent from a thread of its own.
    a->sender = std::thread([a, wakeFrom] {
        NTSTATUS status = PoRequestPowerIrp(a->pdo, IRP_MN_WAIT_WAKE, wakeFrom, WakeComplete, a, &a->irp);
        if (!NT_SUCCESS(status)) {
            // Never sent: no completion comes.
            std::lock_guard guard(a->manager->wakeMutex_);
            a->completed = true;
            a->status = status;
            a->manager->outcomes_.push_back({a->pdo, status});
        }
        if (!NT_SUCCESS(status))
            a->manager->wakeChanged_.notify_all();
    });
    // Armed once the bus driver holds it; its address (written before it
    // was sent) may be read from then on.  A driver may refuse it instead.
    auto deadline = std::chrono::steady_clock::now() + kWakeArmTimeout;
    for (;;) {
        bool held = waitWakeHeld(node, std::chrono::milliseconds(5));
        std::lock_guard guard(wakeMutex_);
        if (held || a->completed) {
            a->held = held;
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            platform::Violate("WAIT_WAKE_NOT_HELD",
                              platform::FormatKernel("the wait-wake for %p never reached its bus driver", a->pdo));
            return;
        }
    }
}

VOID NTAPI PnpManager::WakeComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status)
{
    auto *a = static_cast<WakeArm *>(context);
    PnpManager *self = a->manager;
    {
        std::lock_guard guard(self->wakeMutex_);
        a->completed = true;
        a->status = status->Status;
        self->outcomes_.push_back({a->pdo, status->Status});
        if (NT_SUCCESS(status->Status) && Sleeping(self->systemPower_))
            self->wakeRequested_ = true;
    }
    self->wakeChanged_.notify_all();
}

void PnpManager::Disarm(const Node *only)
{
    std::list<std::unique_ptr<WakeArm>> taken;
    std::unique_lock guard(wakeMutex_);
    for (auto it = arms_.begin(); it != arms_.end();) {
        if (only && (*it)->node != only) {
            ++it;
            continue;
        }
        WakeArm &a = **it;
        // Not once it has walked off its last stack location: it is on its
        // way back (WakeComplete waits for this lock), then freed.
        if (!a.completed && a.held &&
            __atomic_load_n(&a.irp->CurrentLocation, __ATOMIC_ACQUIRE) <= a.irp->StackCount + 1)
            IoCancelIrp(a.irp);
        taken.push_back(std::move(*it));
        it = arms_.erase(it);
    }
    bool ended = wakeChanged_.wait_for(guard, kWakeArmTimeout, [&] {
        return std::all_of(taken.begin(), taken.end(), [](const auto &a) { return a->completed; });
    });
    guard.unlock();
    for (auto &a : taken) {
        if (ended || a->completed) {
            a->sender.join();
            continue;
        }
        platform::Violate("WAIT_WAKE_NOT_COMPLETED",
                          platform::FormatKernel("the cancelled wait-wake for %p never completed", a->pdo));
        a->sender.detach();
        (void)a.release();  // its thread may still use it
    }
}

void PnpManager::WakeLoop(std::stop_token stop)
{
    std::unique_lock guard(wakeMutex_);
    for (;;) {
        if (!wakeChanged_.wait(guard, stop, [&] { return wakeRequested_; }))
            return;  // stopped
        wakeRequested_ = false;
        guard.unlock();
        {
            std::lock_guard tree(treeMutex_);
            if (Sleeping(systemPower())) {
                {
                    std::lock_guard counted(wakeMutex_);
                    ++deviceWakes_;
                }
                SetSystemPower(PowerSystemWorking);
            }
        }
        guard.lock();
    }
}

}  // namespace world
