// pnp_manager.hpp - the PnP and power managers over a tree of device nodes.
//
// A root device node is a device on a bus of the world (a converter on the
// USB hub); the manager builds its stack, starts it, enumerates its children
// (the port's PDO that norva reports as a bus driver), queries and starts each
// child as Windows does, and drives the state changes: query/cancel stop and
// remove, stop, both kinds of unplug, system sleep and wake.
#pragma once

#include "pnp/pnp.hpp"

#include <functional>
#include <list>

namespace world {

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
        ChildIdentity identity;  // for enumerated children
    };

    PnpManager() = default;
    ~PnpManager();  // removes what is left (children first)
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

    // State changes of a node and its children.
    NTSTATUS QueryStop(Node *node);
    NTSTATUS CancelStop(Node *node);
    NTSTATUS Stop(Node *node);
    NTSTATUS StartAgain(Node *node);
    NTSTATUS QueryRemove(Node *node);
    NTSTATUS CancelRemove(Node *node);

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
    // coming back to PowerSystemWorking.  Query-power goes first going down.
    NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);
    SYSTEM_POWER_STATE systemPower() const { return systemPower_; }

    const std::list<std::unique_ptr<Node>> &nodes() const { return nodes_; }
    static Node *FirstChild(Node *node) { return node->children.empty() ? nullptr : node->children.front(); }

private:
    Node *NewNode(PDEVICE_OBJECT pdo, std::u16string instancePath, Node *parent);
    static ChildIdentity QueryChild(PDEVICE_OBJECT pdo);
    void ForgetSubtree(Node *node);
    void Walk(Node *node, bool childrenFirst, const std::function<void(Node *)> &fn);

    std::list<std::unique_ptr<Node>> nodes_;
    SYSTEM_POWER_STATE systemPower_ = PowerSystemWorking;
};

}  // namespace world
