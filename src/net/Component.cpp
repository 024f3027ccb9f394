#include "net/Component.h"

#include "net/Stack.h"

namespace larkpost {

TLpComponent::TLpComponent() {
    TLpStack::IncUsage();
}

TLpComponent::~TLpComponent() {
    TLpStack::DecUsage();
}

std::string TLpComponent::StatusText(TLpStatus status, const std::string& arg) {
    switch (status) {
        case hsResolving:
            return "Resolving hostname " + arg + ".";
        case hsConnecting:
            return "Connecting to " + arg + ".";
        case hsConnected:
            return "Connected.";
        case hsDisconnecting:
            return "Disconnecting.";
        case hsDisconnected:
            return "Disconnected.";
        case hsStatusText:
        case ftpTransfer:
        case ftpReady:
        case ftpAborted:
            return arg;
    }
    return arg;
}

void TLpComponent::ReportStatus(TLpStatus status, const std::string& arg) {
    if (!OnStatus) return;
    OnStatus(this, status, StatusText(status, arg));
}

}  // namespace larkpost
