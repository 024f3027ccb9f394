// The base of every transport and protocol component: the status event and its texts, and the
// usage count that keeps the sockets layer alive while any component exists.
#pragma once

#include <functional>
#include <string>

namespace larkpost {

enum TLpStatus {
    hsResolving = 0,
    hsConnecting = 1,
    hsConnected = 2,
    hsDisconnecting = 3,
    hsDisconnected = 4,
    hsStatusText = 5,
    ftpTransfer = 6,
    ftpReady = 7,
    ftpAborted = 8,
};

class TLpBaseComponent;
class TLpComponent;

using TLpStatusEvent =
    std::function<void(TLpComponent* ASender, TLpStatus AStatus, const std::string& AStatusText)>;
using TLpNotifyEvent = std::function<void(TLpBaseComponent* ASender)>;

class TLpBaseComponent {
public:
    TLpBaseComponent() = default;
    virtual ~TLpBaseComponent() = default;
    TLpBaseComponent(const TLpBaseComponent&) = delete;
    TLpBaseComponent& operator=(const TLpBaseComponent&) = delete;
};

class TLpComponent : public TLpBaseComponent {
public:
    TLpComponent();
    ~TLpComponent() override;

    TLpStatusEvent OnStatus;

    // The text ReportStatus hands to OnStatus: "Resolving hostname %s.", "Connected.", ...
    static std::string StatusText(TLpStatus status, const std::string& arg = std::string());

    // Formats the status text and calls OnStatus with this component as sender; nothing happens
    // when no handler is assigned.
    void ReportStatus(TLpStatus status, const std::string& arg = std::string());
};

}  // namespace larkpost
