// What the command line held: each switch's present flag and raw value, and the /FILES entries.
// Read by the debug dump and by the settings reader's skip rules.
#pragma once

#include <string>
#include <vector>

namespace larkpost {

struct TSwitchValue {
    bool Present = false;
    std::string Value;  // raw text that followed the switch; empty when absent
};

struct TSwitchValues {
    // Mode switches (filled by Init).
    bool Help = false;  // /? or /H
    bool V = false;
    bool I = false;
    bool D = false;
    TSwitchValue S;  // Value: the environment-expanded path (only when the /S row ran)
    bool NOS = false;
    bool Log = false;
    bool LogSMTP = false;

    // Value switches (filled by ReadCmdLineSettings).
    TSwitchValue Host;
    TSwitchValue Port;
    TSwitchValue Auth;
    TSwitchValue UserID;
    TSwitchValue Pass;
    TSwitchValue PassX;
    TSwitchValue Pass3;
    TSwitchValue MailAgent;
    TSwitchValue HeloName;
    TSwitchValue From;
    TSwitchValue To;
    TSwitchValue ReplyTo;
    TSwitchValue Cc;
    TSwitchValue Bcc;
    TSwitchValue Subject;
    TSwitchValue Body;
    TSwitchValue BodyFile;  // Value: environment-expanded
    TSwitchValue Type;
    TSwitchValue Retry;
    TSwitchValue RetryWait;
    bool Files = false;  // /FILES present
    // /FILES entries in the order collected, escape-decoded where decoding applies, not yet
    // environment-expanded.
    std::vector<std::string> FileEntries;
    TSwitchValue PassCmd;

    // Connection security and certificate checks.
    TSwitchValue Tls;
    bool Verify = false;
    TSwitchValue CAFile;  // Value: environment-expanded
    TSwitchValue Fingerprint;
};

}  // namespace larkpost
