// commands.hpp - vcp's subcommands.
#pragma once

#include "console.hpp"
#include "session.hpp"

#include <stdexcept>
#include <string>

namespace vcp {

struct DemoOptions {
    SessionOptions session;
    bool win98Unplug = false;
    std::string message = "Hello through norva and tembris: 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ";
};

struct PtyOptions {
    SessionOptions session;
    std::string link;      // symlink to the port's terminal
    std::string peerLink;  // symlink to the far end's terminal (--peer pty)
    uint32_t baud = 9600;
    std::string format = "8N1";
    std::string commandLog;  // JSON file written at exit
    bool win98Unplug = false;
    unsigned ports = 0;      // 0: one converter; else this many, linked at link0, link1, ...
    bool stdinControl = false;  // with ports: `unplug K`, `plug K`, `status` on standard input
};

struct ServeOptions {
    SessionOptions session;
    std::string address = "127.0.0.1:2217";  // [HOST:]PORT
    unsigned idleTimeout = 0;                 // seconds with nothing moving before a session is closed; 0: never
    std::string peerLink;                     // symlink to the far end's terminal (--peer pty)
    std::string commandLog;                   // JSON file written at exit
    bool win98Unplug = false;
    unsigned ports = 0;                       // 0: one converter; else this many, on PORT, PORT+1, ...
    bool stdinControl = false;                // with ports: `unplug K`, `plug K`, `status` on standard input
};

struct InfoOptions {
    SessionOptions session;
    bool json = false;
    unsigned ports = 1;  // converters plugged and listed
};

// A mistake on the command line: vcp says what and exits with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "2217", "HOST:PORT", "[IPv6]:PORT" for --rfc2217; throws UsageError.
void ParseListenAddress(const std::string &text, std::string *host, uint16_t *port);

// Each returns the process's exit status.
int RunDemo(const DemoOptions &options, Signals &signals);
int RunPty(const PtyOptions &options, Signals &signals);
int RunServe(const ServeOptions &options, Signals &signals);
// With --ports (multi_port.cpp).
int RunPtyMany(const PtyOptions &options, Signals &signals);
int RunServeMany(const ServeOptions &options, Signals &signals);
int RunInfo(const InfoOptions &options);

// What every command does at the end: the kernel must be clean once the
// world is gone.  Prints the report and returns false when it is not.
bool ReportLeaks(Console &console);
// The bus capture's and the debug log's lines, once the world is gone.
void ReportOutputs(Console &console, const SessionOptions &session);

}  // namespace vcp
