// pnp_manager.hpp - the PnP and power managers over a tree of device nodes.
//
// A root device node is a device on a bus of the world (a converter on the
// USB hub); the manager builds its stack, starts it, enumerates its children
// (the port's PDO that norva reports as a bus driver), queries and starts each
// child as Windows does, and drives the state changes: query/cancel stop and
// remove, stop, both kinds of unplug, system sleep and wake.
//
// Power.  SetSystemPower sends IRP_MN_QUERY_POWER and then IRP_MN_SET_POWER
// (SystemPowerState) to the top of every started stack, children before
// parents on the way down and parents first on the way back to
// PowerSystemWorking, as Windows does; each request is waited for, so a
// stack's power policy owner has moved its device to the matching device
// state when the call returns.
//
// Wait-wake.  In Windows the power policy owner of a stack arms a wake with
// IRP_MN_WAIT_WAKE (PoRequestPowerIrp).  The converter's function driver
// honours a wait-wake that reaches it (it powers its device back to D0 when
// the request ends) but never sends one, so the manager stands in for the
// policy owner: when the system goes to a sleeping state that a root node's
// capabilities can wake it from, it requests IRP_MN_WAIT_WAKE for that node
// once the node's device has reached its sleeping state (the function driver
// refuses a wait-wake while its device is in D0).  The request is sent from
// a thread of its own, as the function driver holds it in its dispatch
// routine until the wake.  When a wait-wake ends with STATUS_SUCCESS while
// the system sleeps, the manager's own thread wakes the system
// (SetSystemPower(PowerSystemWorking)).  Wait-wakes still outstanding when
// the system is back in PowerSystemWorking, or when their node is removed,
// are cancelled.  Hibernation and the states beyond SystemWake arm nothing.
//
// Sequences.  After every successful start the manager asks for the
// stack's capabilities (root nodes) and its IRP_MN_QUERY_PNP_DEVICE_STATE,
// then for its children.  A cancel goes to every stack that got the query,
// the one that refused it included.  The flavour decides what differs
// between the two systems the drivers run on:
//   Windows 98     a failed start is followed by IRP_MN_STOP_DEVICE (no
//                  query); Disable is QUERY_STOP then STOP.
//   Windows 2000   (the default) a failed start is followed by
//                  IRP_MN_REMOVE_DEVICE and the node is gone; creates for a
//                  stack are refused until its start succeeds; STOP is sent
//                  only after a successful QUERY_STOP.
// Both unplug kinds exist in both flavours.  The surprise removal waits,
// between IRP_MN_SURPRISE_REMOVAL and IRP_MN_REMOVE_DEVICE, until every
// handle to the removed stacks is closed (platform::OpenHandles): a port
// that keeps its handle sees its calls fail until it closes.
//
// Threads.  The state-changing calls and the wake-up thread are serialised;
// nodes() and the node records are for the thread that made the changes.
#pragma once

#include "pnp/pnp.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <stop_token>
#include <thread>

namespace world {

enum class PnpFlavor { Windows98, Windows2000 };

// What a child PDO answered when it was enumerated.
struct ChildIdentity {
    std::string deviceId;         // IRP_MN_QUERY_ID BusQueryDeviceID
    std::string instanceId;       // BusQueryInstanceID
    std::string description;      // IRP_MN_QUERY_DEVICE_TEXT DeviceTextDescription
    NTSTATUS hardwareIdsStatus = STATUS_SUCCESS;
    bool hardwareIdsAnswered = false;
    DEVICE_CAPABILITIES capabilities{};
    std::vector<uint8_t> resourceRequirements;  // the whole list, as returned
    bool busInformationAnswered = false;
    PNP_BUS_INFORMATION busInformation{};
};

class PnpManager {
public:
    struct Node {
        std::unique_ptr<DevNode> devnode;
        Node *parent = nullptr;
        std::list<Node *> children;
        bool started = false;
        bool removed = false;
        bool stopQueried = false;          // a QUERY_STOP succeeded and no cancel or stop followed
        ULONG pnpDeviceState = 0;          // the last IRP_MN_QUERY_PNP_DEVICE_STATE answer
        unsigned deviceStateQueries = 0;   // IRP_MN_QUERY_PNP_DEVICE_STATE requests sent
        ChildIdentity identity;  // for enumerated children
        // Root nodes: what the stack answered to IRP_MN_QUERY_CAPABILITIES
        // after its start (the power manager arms wait-wake by it).
        bool capabilitiesKnown = false;
        DEVICE_CAPABILITIES capabilities{};
    };

    // A wait-wake the manager requested, once it has ended.
    struct WakeOutcome {
        PDEVICE_OBJECT pdo = nullptr;  // of the node it was armed for
        NTSTATUS status = STATUS_PENDING;
    };

    PnpManager();
    ~PnpManager();  // stops the wake-up thread, removes what is left (children first)
    PnpManager(const PnpManager &) = delete;
    PnpManager &operator=(const PnpManager &) = delete;

    // A new device: its device node with driver-key values, AddDevice for the
    // function driver and upper filters, start, and enumeration of children.
    // Returns the node even when a step fails (status says which).
    Node *AddRoot(PDEVICE_OBJECT pdo, std::u16string instancePath, DriverModule *function,
                  std::vector<DriverModule *> filters, const std::function<void(DevNode &)> &setValues,
                  NTSTATUS *status);

    // Sends IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations) to the node's stack,
    // releases every reference the answer hands over, and queries and starts
    // each new child.  Called after a start; may be called again.
    NTSTATUS Enumerate(Node *node);

    // Called after a child has been started (the world hands it to the port
    // model here).
    std::function<void(Node *parent, Node *child)> onChildStarted;
    // Called for a root node after its AddDevice calls, before its start.
    std::function<void(Node *node)> beforeStart;

    void SetFlavor(PnpFlavor flavor);
    PnpFlavor flavor() const;
    // How long a surprise removal waits for the last handle (then the
    // finding HANDLE_NEVER_CLOSED, and the removal goes on).
    std::chrono::milliseconds handleWait{std::chrono::seconds(30)};

    // State changes of a node.  A refused query is followed by its cancel.
    // Stop on Windows 2000 queries first unless a query has succeeded.
    NTSTATUS QueryStop(Node *node);
    NTSTATUS CancelStop(Node *node);
    NTSTATUS Stop(Node *node);
    NTSTATUS StartAgain(Node *node);
    NTSTATUS QueryRemove(Node *node);
    NTSTATUS CancelRemove(Node *node);
    // Windows 98's disable of a device: QUERY_STOP then STOP.
    NTSTATUS Disable(Node *node);

    // The Windows 98 unplug: IRP_MN_REMOVE_DEVICE, children first, while the
    // port may still be open; no surprise removal.
    void RemoveWin98(Node *node);
    // The later unplug: IRP_MN_SURPRISE_REMOVAL children first, then
    // IRP_MN_REMOVE_DEVICE children first once the port has let go.
    void RemoveSurprise(Node *node);
    // An orderly removal (query-remove first), as when a user ejects it.
    NTSTATUS RemoveOrderly(Node *node);

    // System power: every node gets IRP_MN_SET_POWER (SystemPowerState) at the
    // top of its stack; children before parents going down, parents first
    // coming back to PowerSystemWorking.  Query-power goes to every node
    // first going down; if one refuses, the queried nodes are told
    // PowerSystemWorking again and the system stays awake (the refusal is
    // returned).  Going down, wait-wakes are armed (see above); coming up,
    // those still outstanding are cancelled.  A failed set-power is ignored,
    // as the power manager ignores it: the system changes state all the
    // same.  A request for the state the system is in does nothing; from one
    // sleeping state to another the system passes through PowerSystemWorking.
    NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);
    SYSTEM_POWER_STATE systemPower() const;
    // Waits until the system is in `state` (a device's wake brings it back to
    // PowerSystemWorking by itself).
    bool WaitForSystemPower(SYSTEM_POWER_STATE state, std::chrono::milliseconds timeout) const;

    // Whether the manager arms wait-wake before sleeping (on by default).
    void SetWakeArming(bool on);
    // How the manager learns that the bus driver holds an armed wait-wake
    // (the world asks its hub); without it the manager arms nothing.
    std::function<bool(Node *node, std::chrono::milliseconds timeout)> waitWakeHeld;
    // A wait-wake of the node is outstanding.
    bool WakeArmed(const Node *node) const;
    // Every wait-wake that has ended, in order.
    std::vector<WakeOutcome> wakeOutcomes() const;
    // Times a device's wake brought the system back to PowerSystemWorking.
    unsigned deviceWakes() const;

    const std::list<std::unique_ptr<Node>> &nodes() const { return nodes_; }
    static Node *FirstChild(Node *node) { return node->children.empty() ? nullptr : node->children.front(); }

private:
    Node *NewNode(PDEVICE_OBJECT pdo, std::u16string instancePath, Node *parent);
    static ChildIdentity QueryChild(PDEVICE_OBJECT pdo);
    void ForgetSubtree(Node *node);
    void Walk(Node *node, bool childrenFirst, const std::function<void(Node *)> &fn);
    // START, then what follows a start (or a failed one) in this flavour.
    NTSTATUS StartNode(Node *node);
    void QueryDeviceState(Node *node);
    void WaitForHandles(Node *node);

    // Power.
    struct WakeArm;
    static VOID NTAPI WakeComplete(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                   PIO_STATUS_BLOCK status);
    NTSTATUS SendSystemPower(std::vector<Node *> &roots, UCHAR minor, SYSTEM_POWER_STATE state, bool childrenFirst,
                             std::vector<Node *> *reached);
    void QueryCapabilities(Node *node);
    void ArmWake(Node *node);
    void Disarm(const Node *only);  // cancels and collects the wait-wakes of `only` (null: all)
    void WakeLoop(std::stop_token stop);

    mutable std::recursive_mutex treeMutex_;  // state changes, the wake-up thread's included
    std::list<std::unique_ptr<Node>> nodes_;
    std::atomic<PnpFlavor> flavor_{PnpFlavor::Windows2000};

    mutable std::mutex wakeMutex_;  // the fields below
    mutable std::condition_variable_any wakeChanged_;
    SYSTEM_POWER_STATE systemPower_ = PowerSystemWorking;
    bool armWake_ = true;
    bool wakeRequested_ = false;
    unsigned deviceWakes_ = 0;
    std::list<std::unique_ptr<WakeArm>> arms_;
    std::vector<WakeOutcome> outcomes_;
    std::jthread waker_;  // last: started after everything it uses
};

}  // namespace world
